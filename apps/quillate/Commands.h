// The quillate subcommands; each returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace quillate::cli {

inline constexpr int ExitOk = 0;
inline constexpr int ExitActionFailed = 1;
inline constexpr int ExitBadUsage = 2;
inline constexpr int ExitStopped = 130;

struct TRunArguments {
    std::string Project;
    std::vector<std::string> Vars;
    std::vector<std::string> EnvNames;
    std::string OptionsFile;
    std::string LogFile;
    std::string LogFormat = "text";
    bool NoProgress = false;
};

// Loads the package beside the executable and any named in QUILLATE_EXTRA_PACKAGES.
void LoadPackages();

// "quillate 0.1.0" and a line for each package it loads, with the package's own version.
std::string VersionText();

int RunProject(const TRunArguments& args);
// `given` names the variables a run would get from --var and --env: using them is no warning.
int ValidateProject(const std::string& project, const std::vector<std::string>& given);
int ListActions();
// One class by stored type (or an option class by class name), or with `all` every class.
int DescribeType(const std::string& type, bool all);
int PrintSchema();
// options show / options set KEY=VALUE on the store (the default one unless a file is given).
int ShowOptions(const std::string& optionsFile);
int SetOption(const std::string& optionsFile, const std::string& assignment);
// Reads a password from standard input without echoing it and prints its stored form.
int EncryptForProperty(const std::string& typeDotProperty, bool keepReferences);

} // namespace quillate::cli
