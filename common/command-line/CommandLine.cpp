#include "CommandLine.h"

#include <algorithm>
#include <cstdio>

namespace ruvo_command_line {

namespace {

constexpr std::string_view c_szHelp = "--help";
constexpr std::string_view c_szHelpShort = "-h";
constexpr std::string_view c_szVersion = "--version";
constexpr size_t c_uShownArgumentBytes = 64;

bool IsProgramOption(const stProgram &program, std::string_view argument)
{
    return std::any_of(program.options.begin(), program.options.end(),
                       [argument](const stOption &option) { return option.name == argument; });
}

void Remember(std::vector<std::string> &options, std::string_view option)
{
    if (std::find(options.begin(), options.end(), option) == options.end())
        options.emplace_back(option);
}

} // namespace

bool stParsed::Has(std::string_view option) const
{
    return std::find(options.begin(), options.end(), option) != options.end();
}

std::string_view SuiteVersion()
{
    return RUVO_SUITE_VERSION;
}

std::string PrintableArgument(std::string_view argument)
{
    static const char c_szHex[] = "0123456789abcdef";
    std::string shown = "'";
    const size_t length = std::min(argument.size(), c_uShownArgumentBytes);
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(argument[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\' && byte != '\'') {
            shown += static_cast<char>(byte);
        } else {
            shown += "\\x";
            shown += c_szHex[byte >> 4];
            shown += c_szHex[byte & 0x0f];
        }
    }
    shown += "'";
    if (argument.size() > length)
        shown += "...";
    return shown;
}

stParsed ParseArguments(const stProgram &program, int argc, const char *const *argv)
{
    stParsed parsed;
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc && argv[i]; ++i) {
        const std::string_view argument = argv[i];
        if (argument == c_szHelp || argument == c_szHelpShort) {
            help = true;
        } else if (argument == c_szVersion) {
            version = true;
        } else if (IsProgramOption(program, argument)) {
            Remember(parsed.options, argument);
        } else if (program.unknown == enUnknownArguments::Refuse) {
            parsed.action = enAction::Usage;
            parsed.problem = "unknown argument " + PrintableArgument(argument);
            parsed.options.clear();
            return parsed;
        }
    }
    if (help)
        parsed.action = enAction::Help;
    else if (version)
        parsed.action = enAction::Version;
    return parsed;
}

std::string UsageText(const stProgram &program)
{
    std::string text = "usage: ";
    text += program.name;
    text += " [--help] [--version]";
    for (const stOption &option : program.options) {
        text += " [";
        text += option.name;
        text += "]";
    }
    text += "\n";
    text += program.summary;
    text += "\n\n";
    std::vector<stOption> all = {{c_szHelp, "show this text and exit"},
                                 {c_szVersion, "show the version and exit"}};
    all.insert(all.end(), program.options.begin(), program.options.end());
    size_t width = 0;
    for (const stOption &option : all)
        width = std::max(width, option.name.size());
    for (const stOption &option : all) {
        text += "  ";
        text += option.name;
        text += std::string(width - option.name.size() + 2, ' ');
        text += option.description;
        text += "\n";
    }
    return text;
}

std::string VersionText(const stProgram &program)
{
    std::string text(program.name);
    text += " (Ruvo K40 series printer suite) ";
    text += SuiteVersion();
    text += "\n";
    return text;
}

int AnswerCommandLine(const stProgram &program, int argc, const char *const *argv, stParsed &parsed)
{
    parsed = ParseArguments(program, argc, argv);
    switch (parsed.action) {
    case enAction::Run:
        return -1;
    case enAction::Help:
        std::fputs(UsageText(program).c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case enAction::Version:
        std::fputs(VersionText(program).c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case enAction::Usage:
        std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program.name.size()), program.name.data(),
                     parsed.problem.c_str());
        std::fputs(UsageText(program).c_str(), stderr);
        return c_iUsageExitStatus;
    }
    return -1;
}

} // namespace ruvo_command_line
