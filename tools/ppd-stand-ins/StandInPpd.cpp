#include "StandInPpd.h"

QByteArray BuildStandInPpd(const stModelInfo &model)
{
    const QByteArray code = model.strModelCode.toLatin1();
    const QByteArray name = model.strModelName.toLatin1();
    // The PC file name keeps to eight characters: "R" and the code (at most seven).
    const QByteArray pcFileName = "R" + code.left(7) + ".PPD";
    QByteArray ppd;
    ppd += "*PPD-Adobe: \"4.3\"\n"
           "*% Stand-in driver for " + name + ": a raw queue without filters.\n"
           "*FormatVersion: \"4.3\"\n"
           "*FileVersion: \"1.0\"\n"
           "*LanguageVersion: English\n"
           "*LanguageEncoding: ISOLatin1\n"
           "*PCFileName: \"" + pcFileName + "\"\n"
           "*Manufacturer: \"Ruvo\"\n"
           "*Product: \"(" + name + ")\"\n"
           "*ModelName: \"" + name + "\"\n"
           "*ShortNickName: \"" + name + "\"\n"
           "*NickName: \"" + name + " stand-in\"\n"
           "*PSVersion: \"(3010.000) 0\"\n"
           "*LanguageLevel: \"3\"\n"
           "*ColorDevice: False\n"
           "*DefaultColorSpace: Gray\n"
           "*FileSystem: False\n"
           "*Throughput: \"1\"\n"
           "*LandscapeOrientation: Plus90\n"
           "*TTRasterizer: Type42\n"
           "*cupsVersion: 2.4\n"
           "*cupsFilter: \"application/vnd.cups-raw 0 -\"\n"
           "*OpenUI *PageSize/Media Size: PickOne\n"
           "*OrderDependency: 10 AnySetup *PageSize\n"
           "*DefaultPageSize: A4\n"
           "*PageSize A4/A4: \"<</PageSize[595 842]/ImagingBBox null>>setpagedevice\"\n"
           "*PageSize Letter/Letter: \"<</PageSize[612 792]/ImagingBBox null>>setpagedevice\"\n"
           "*CloseUI: *PageSize\n"
           "*OpenUI *PageRegion/Media Size: PickOne\n"
           "*OrderDependency: 10 AnySetup *PageRegion\n"
           "*DefaultPageRegion: A4\n"
           "*PageRegion A4/A4: \"<</PageSize[595 842]/ImagingBBox null>>setpagedevice\"\n"
           "*PageRegion Letter/Letter: \"<</PageSize[612 792]/ImagingBBox null>>setpagedevice\"\n"
           "*CloseUI: *PageRegion\n"
           "*DefaultImageableArea: A4\n"
           "*ImageableArea A4/A4: \"12 12 583 830\"\n"
           "*ImageableArea Letter/Letter: \"12 12 600 780\"\n"
           "*DefaultPaperDimension: A4\n"
           "*PaperDimension A4/A4: \"595 842\"\n"
           "*PaperDimension Letter/Letter: \"612 792\"\n"
           "*DefaultResolution: 600dpi\n"
           "*DefaultFont: Courier\n"
           "*Font Courier: Standard \"(002.004S)\" Standard ROM\n";
    return ppd;
}
