#pragma once
// The command line of the suite's programs, decided in one place: every program
// answers --help and --version; a console program refuses any other argument it
// does not know (usage on standard error, exit status 2) before it does
// anything; a window program leaves the arguments it does not know to Qt.
// No Qt here: the scan daemon uses it too.
#include <string>
#include <string_view>
#include <vector>

namespace ruvo_command_line {

struct stOption {
    std::string_view name;        // spelled in full, "--foreground"
    std::string_view description; // one line for the usage text
};

enum class enUnknownArguments {
    Refuse, // console programs: usage on standard error, exit status 2
    Ignore, // window programs: Qt reads its own options (-platform, -display, ...)
};

struct stProgram {
    std::string_view name;             // "RuvoPrintUpdate"
    std::string summary;               // what the program does, in a sentence or two
    std::vector<stOption> options;     // beyond --help and --version
    enUnknownArguments unknown = enUnknownArguments::Refuse;
};

enum class enAction {
    Run,     // go on with the options found
    Help,    // print the usage text on standard output, exit status 0
    Version, // print the version on standard output, exit status 0
    Usage,   // print the problem and the usage text on standard error, exit status 2
};

struct stParsed {
    enAction action = enAction::Run;
    std::vector<std::string> options; // the program's own options given, first occurrence each
    std::string problem;              // for Usage: which argument was refused, printable
    bool Has(std::string_view option) const;
};

// Exit status of a refused command line.
inline constexpr int c_iUsageExitStatus = 2;

// Reads argv[1..argc-1]. Any argument that is refused makes the result Usage,
// whatever else was given; otherwise --help (or -h) wins over --version.
stParsed ParseArguments(const stProgram &program, int argc, const char *const *argv);

// "usage: NAME [--help] [--version] [OPTIONS...]", the summary and one line per option.
std::string UsageText(const stProgram &program);
// "NAME (Ruvo K40 series printer suite) VERSION".
std::string VersionText(const stProgram &program);
// An argument as it may be shown on a terminal: quoted, bytes outside printable
// ASCII as \xNN, cut after 64 bytes.
std::string PrintableArgument(std::string_view argument);

// The suite's version, the same for every program.
std::string_view SuiteVersion();

// Parses and answers: prints help, version or usage as the result says and
// returns the exit status for the program to end with, or -1 when it should run
// (with `parsed` filled for its own options).
int AnswerCommandLine(const stProgram &program, int argc, const char *const *argv, stParsed &parsed);

} // namespace ruvo_command_line
