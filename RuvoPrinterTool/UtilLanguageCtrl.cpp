#include "UtilLanguageCtrl.h"

// Filled before main runs and never changed, so any thread may read them.

const QString c_strStatusLanguageText[PrinterStatusCount][c_iLanguageCount] = {
    {QStringLiteral("Unknown"), QStringLiteral("未知")}, // 0
    {QStringLiteral("Version mismatch"), QStringLiteral("数据格式错误或版本不匹配")}, // 1
    {QStringLiteral("Off-line"), QStringLiteral("脱机")}, // 2
    {QStringLiteral("Ready"), QStringLiteral("就绪")}, // 3
    {QStringLiteral("Initialize"), QStringLiteral("初始化")}, // 4
    {QStringLiteral("Busy"), QStringLiteral("忙碌")}, // 5
    {QStringLiteral("Canceling job"), QStringLiteral("正在取消任务")}, // 6
    {QStringLiteral("Error"), QStringLiteral("错误")}, // 7
    {QStringLiteral("Printing"), QStringLiteral("正在打印")}, // 8
    {QStringLiteral("Scanning"), QStringLiteral("正在扫描")}, // 9
    {QStringLiteral("Copying"), QStringLiteral("正在复印")}, // 10
    {QStringLiteral("Reporting"), QStringLiteral("正在打印报告")}, // 11
};

const QString c_strErrorDescText[ErrorStatusCount][c_iLanguageCount] = {
    {QStringLiteral("Unknown error status"), QStringLiteral("错误状态未知")}, // 0
    {QStringLiteral("Fixer error"), QStringLiteral("定影器错误")}, // 1
    {QStringLiteral("Laser damage"), QStringLiteral("激光损坏")}, // 2
    {QStringLiteral("No scanner detected"), QStringLiteral("未检测到扫描仪")}, // 3
    {QStringLiteral("Printer breakdown"), QStringLiteral("打印机故障")}, // 4
    {QStringLiteral("High temperature printer"), QStringLiteral("打印机温度较高")}, // 5
    {QStringLiteral("Front cover open"), QStringLiteral("前盖已打开")}, // 6
    {QStringLiteral("Cartridge with an unsupported serial number inserted"), QStringLiteral("插入了不支持的序列号的碳粉盒")}, // 7
    {QStringLiteral("Printer and cartridge do not match"), QStringLiteral("打印机和碳粉盒不匹配")}, // 8
    {QStringLiteral("Toner cartridge is invalid"), QStringLiteral("碳粉盒无效")}, // 9
    {QStringLiteral("Cartridge error"), QStringLiteral("碳粉盒错误")}, // 10
    {QStringLiteral("Toner low"), QStringLiteral("碳粉不足")}, // 11
    {QStringLiteral("Toner empty, low quality"), QStringLiteral("碳粉已用完，继续打印将影响质量")}, // 12
    {QStringLiteral("Toner empty, replace cartridge"), QStringLiteral("碳粉已用完，请更换碳粉盒")}, // 13
    {QStringLiteral("Toner is running out"), QStringLiteral("碳粉不足")}, // 14
    {QStringLiteral("Cartridge will be full"), QStringLiteral("碳粉盒寿命将要耗尽")}, // 15
    {QStringLiteral("Cartridge's life is full"), QStringLiteral("碳粉盒寿命已耗尽")}, // 16
    {QStringLiteral("No toner cartridge is placed"), QStringLiteral("没有检测到碳粉盒")}, // 17
    {QStringLiteral("The waste toner will be full"), QStringLiteral("废粉箱将满")}, // 18
    {QStringLiteral("The waste toner full"), QStringLiteral("废粉箱已满")}, // 19
    {QStringLiteral("Cartridge printing paper near the upper limit"), QStringLiteral("碳粉盒打印页数将达到极限")}, // 20
    {QStringLiteral("Cartridge prints page limit reached"), QStringLiteral("打印页数已达到极限")}, // 21
    {QStringLiteral("The printer will exceed the design life!"), QStringLiteral("本机将要超过设计寿命！")}, // 22
    {QStringLiteral("The printer has exceeded the design life!"), QStringLiteral("本机已超过设计寿命！")}, // 23
    {QStringLiteral("Printer memory overflow"), QStringLiteral("设备内存不足")}, // 24
    {QStringLiteral("Cooling"), QStringLiteral("设备温度太高")}, // 25
    {QStringLiteral("ADF paper jam"), QStringLiteral("ADF卡纸")}, // 26
    {QStringLiteral("ADF no paper"), QStringLiteral("ADF中无纸")}, // 27
    {QStringLiteral("ADF feed failed"), QStringLiteral("ADF抽纸失败")}, // 28
    {QStringLiteral("Invalid setting error"), QStringLiteral("设置无效")}, // 29
    {QStringLiteral("Paper tray is empty"), QStringLiteral("纸盘中无纸")}, // 30
    {QStringLiteral("Manual feeder does not put paper"), QStringLiteral("手动进纸器中无纸")}, // 31
    {QStringLiteral("Manual feeder stop"), QStringLiteral("手动进纸器异常")}, // 32
    {QStringLiteral("Tray does not match"), QStringLiteral("纸张来源不匹配")}, // 33
    {QStringLiteral("Paper jam inside"), QStringLiteral("设备内卡纸")}, // 34
    {QStringLiteral("Paper jam in tray"), QStringLiteral("纸盒内卡纸")}, // 35
    {QStringLiteral("Paper jam rear"), QStringLiteral("设备后部卡纸")}, // 36
    {QStringLiteral("Paper size does not match"), QStringLiteral("纸张尺寸不匹配")}, // 37
    {QStringLiteral("Initial setup error"), QStringLiteral("初始设置错误")}, // 38
    {QStringLiteral("Tablet scan error"), QStringLiteral("平板扫描出错")}, // 39
    {QStringLiteral("ADF scan without paper"), QStringLiteral("ADF无纸")}, // 40
    {QStringLiteral("File size exceeds limit"), QStringLiteral("文件大小超过限制")}, // 41
    {QStringLiteral("Printer breakdown"), QStringLiteral("打印机故障")}, // 42
    {QStringLiteral("IP settings error"), QStringLiteral("IP设置错误")}, // 43
};

const QString c_strErrorSolutionText[ErrorStatusCount][c_iLanguageCount] = {
    {QStringLiteral(""), QStringLiteral("")}, // 0
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 1
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 2
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 3
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 4
    {QStringLiteral("Stop Printing/Shut Down Waiting for Cooling/Contacting service"), QStringLiteral("停止打印/关机等待冷却/联系客服")}, // 5
    {QStringLiteral("Close the front cover"), QStringLiteral("关闭前盖板")}, // 6
    {QStringLiteral("Please check the toner cartridge"), QStringLiteral("请检查碳粉盒")}, // 7
    {QStringLiteral("Please check the toner cartridge"), QStringLiteral("请检查碳粉盒")}, // 8
    {QStringLiteral("Please check the toner cartridge"), QStringLiteral("请检查碳粉盒")}, // 9
    {QStringLiteral("Please check the toner cartridge"), QStringLiteral("请检查碳粉盒")}, // 10
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 11
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 12
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 13
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 14
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 15
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 16
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 17
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 18
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 19
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 20
    {QStringLiteral("Replace the toner cartridge"), QStringLiteral("请更换碳粉盒")}, // 21
    {QStringLiteral(""), QStringLiteral("")}, // 22
    {QStringLiteral("Contact service"), QStringLiteral("联系客服")}, // 23
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 24
    {QStringLiteral("Waiting for cooling"), QStringLiteral("请等待冷却")}, // 25
    {QStringLiteral("Please pull out the paper"), QStringLiteral("请拉出纸张")}, // 26
    {QStringLiteral("Please insert the paper"), QStringLiteral("请插入文稿")}, // 27
    {QStringLiteral("Check ADF"), QStringLiteral("检查ADF")}, // 28
    {QStringLiteral("Re-setting"), QStringLiteral("重新进行设置")}, // 29
    {QStringLiteral("Please insert the paper"), QStringLiteral("请插入文稿")}, // 30
    {QStringLiteral("Check the manual feeder"), QStringLiteral("请检查手动进纸器")}, // 31
    {QStringLiteral("Please send paper from manual feeder"), QStringLiteral("请从手动进纸器送纸")}, // 32
    {QStringLiteral("Insert tray"), QStringLiteral("插入纸盘")}, // 33
    {QStringLiteral("Pull out the paper"), QStringLiteral("请拉出纸张")}, // 34
    {QStringLiteral("Pull out the paper"), QStringLiteral("请拉出纸张")}, // 35
    {QStringLiteral("Pull out the paper"), QStringLiteral("请拉出纸张")}, // 36
    {QStringLiteral("Please check the paper setting and actual paper size"), QStringLiteral("请检查纸张设置和实际纸张尺寸")}, // 37
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 38
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 39
    {QStringLiteral("Check the ADF paper placement"), QStringLiteral("检查ADF纸张放入位置")}, // 40
    {QStringLiteral("Reset the paper size"), QStringLiteral("重新设置纸张大小")}, // 41
    {QStringLiteral("Restart/contact service"), QStringLiteral("重启/联系客服")}, // 42
    {QStringLiteral("Reset IP"), QStringLiteral("重新设置IP")}, // 43
};
