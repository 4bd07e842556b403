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

int RunProject(const TRunArguments& args);
int ValidateProject(const std::string& project);
int ListActions();
int DescribeType(const std::string& type);
int PrintSchema();
// options show / options set KEY=VALUE on the store (the default one unless a file is given).
int ShowOptions(const std::string& optionsFile);
int SetOption(const std::string& optionsFile, const std::string& assignment);
// Reads a password from standard input without echoing it and prints its stored form.
int EncryptForProperty(const std::string& typeDotProperty);

} // namespace quillate::cli
