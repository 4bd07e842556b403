#include "Commands.h"

#include "host/CryptoUtils.h"
#include "host/Log.h"
#include "host/MainThread.h"
#include "host/Options.h"
#include "host/Project.h"
#include "host/Registration.h"
#include "host/Runner.h"
#include "host/Schema.h"
#include "host/VariableUsage.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace quillate::cli {

namespace {

class TCommandLineHost : public IZRRegistrationHost {
public:
    bool IsDesignerPresent() const override { return false; }
};

bool SplitAssignment(const std::string& text, std::string& name, std::string& value) {
    auto eq = text.find('=');
    if (eq == std::string::npos)
        return false;
    name = text.substr(0, eq);
    value = text.substr(eq + 1);
    return TVariables::IsValidName(name);
}

// Fills the run's variables: the project's, then --var, then --env, whose values are kept in `secrets`
// for the log to mask.
bool PrepareVariables(const TProject& project, const TRunArguments& args, TVariables& variables,
                      std::vector<std::string>& secrets) {
    for (const auto& [name, value] : project.Variables)
        variables.Set(name, value);
    for (const auto& assignment : args.Vars) {
        std::string name, value;
        if (!SplitAssignment(assignment, name, value)) {
            std::cerr << fmt::format("quillate: --var expects NAME=VALUE, got \"{}\"\n", assignment);
            return false;
        }
        variables.Set(name, value);
    }
    for (const auto& name : args.EnvNames) {
        const char* value = std::getenv(name.c_str());
        if (!TVariables::IsValidName(name) || !value) {
            std::cerr << fmt::format("quillate: --env {}: the environment variable is not set\n", name);
            return false;
        }
        variables.Set(name, value);
        secrets.emplace_back(value);
    }
    return true;
}

// Turns SIGINT/SIGTERM into a stop request; a second one ends the process at once.
class TSignalWatcher {
public:
    explicit TSignalWatcher(TRunner& runner) {
        sigemptyset(&FSet);
        sigaddset(&FSet, SIGINT);
        sigaddset(&FSet, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &FSet, nullptr);
        std::thread([set = FSet, &runner] {
            int count = 0;
            while (true) {
                int sig = 0;
                if (sigwait(&set, &sig) != 0)
                    continue;
                if (++count > 1) {
                    const char msg[] = "\nquillate: stopped at once\n";
                    (void)!write(STDERR_FILENO, msg, sizeof msg - 1);
                    _exit(ExitStopped);
                }
                TMainThread::Instance().Queue([&runner] { runner.RequestStop(); });
            }
        }).detach();
    }

private:
    sigset_t FSet;
};

// --log-format picks the sink; colour and progress apply to text only.
std::unique_ptr<ILogSink> MakeLogSink(const std::string& format, std::FILE* out, bool colour,
                                      TTerminalProgress* progress) {
    if (format == "jsonl")
        return std::make_unique<TJsonlLogSink>(out);
    return std::make_unique<TTextLogSink>(out, colour, progress);
}

struct TLogFile {
    std::FILE* File = nullptr;
    ~TLogFile() {
        if (File)
            std::fclose(File);
    }
};

} // namespace

void LoadPackages() {
    TCommandLineHost host;
    LoadStandardPackages(host);
}

std::string VersionText() {
    std::string text = fmt::format("quillate {}", QUILLATE_VERSION);
    try {
        LoadPackages();
    } catch (const std::exception& e) {
        return text + "\n" + e.what();
    }
    for (const auto& package : LoadedPackages()) {
        std::string name = std::filesystem::path(package.Path).filename().string();
        if (package.Version.empty())
            text += fmt::format("\n{}: no version", name);
        else
            text += fmt::format("\n{}: {} {}", name, package.Description, package.Version);
    }
    return text;
}

int RunProject(const TRunArguments& args) {
    TMainThread::Instance();
    if (!args.OptionsFile.empty())
        OptionsService().Open(args.OptionsFile);
    TProject project = TProject::LoadFromFile(args.Project);
    TVariables variables;
    std::vector<std::string> secrets;
    if (!PrepareVariables(project, args, variables, secrets))
        return ExitBadUsage;

    bool terminal = isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR");
    bool jsonl = args.LogFormat == "jsonl";
    // A jsonl log carries its progress as records of its own, for programs that show it.
    std::unique_ptr<TTerminalProgress> progress;
    std::unique_ptr<TJsonlProgressSink> progressRecords;
    if (!args.NoProgress && jsonl)
        progressRecords = std::make_unique<TJsonlProgressSink>(stdout);
    else if (!args.NoProgress && isatty(STDERR_FILENO))
        progress = std::make_unique<TTerminalProgress>(stderr);

    std::unique_ptr<ILogSink> console = MakeLogSink(args.LogFormat, stdout, terminal, progress.get());
    TTeeLogSink log;
    log.Add(console.get());
    TLogFile logFile;
    std::unique_ptr<ILogSink> fileSink;
    if (!args.LogFile.empty()) {
        logFile.File = std::fopen(args.LogFile.c_str(), "a");
        if (!logFile.File) {
            std::cerr << fmt::format("quillate: cannot open the log file {}\n", args.LogFile);
            return ExitBadUsage;
        }
        fileSink = MakeLogSink(args.LogFormat, logFile.File, false, nullptr);
        log.Add(fileSink.get());
    }

    IProgressSink* progressSink = progressRecords ? static_cast<IProgressSink*>(progressRecords.get()) : progress.get();
    TRunner runner(project.Actions, variables, log, progressSink);
    for (const auto& secret : secrets)
        runner.Secrets().Add(secret);
    TSignalWatcher signals(runner);
    switch (runner.Run()) {
    case TRunOutcome::Succeeded: return ExitOk;
    case TRunOutcome::Failed: return ExitActionFailed;
    case TRunOutcome::Stopped: return ExitStopped;
    }
    return ExitActionFailed;
}

int ValidateProject(const std::string& path, const std::vector<std::string>& given) {
    TProject project = TProject::LoadFromFile(path);
    std::vector<TProjectProblem> problems = project.Validate();
    for (const auto& p : problems)
        std::cout << EscapeControls(fmt::format("{}: {} ({}): {}: {}", path, p.Where, p.Action,
                                                p.Error.Property, p.Error.Message))
                  << "\n";
    // Variables a run could only get from --var or --env, and those the project declares for nothing:
    // warnings that leave the exit status alone.
    auto variableWarnings = VariableWarnings(project, given);
    for (const auto& warning : variableWarnings)
        std::cout << EscapeControls(path + ": " + warning.Text) << "\n";
    const auto warnings = variableWarnings.size();
    if (problems.empty())
        std::cout << EscapeControls(warnings == 0 ? fmt::format("{}: no problems found", path)
                                                  : fmt::format("{}: no problems found, {} warning{}", path,
                                                                warnings, warnings == 1 ? "" : "s"))
                  << "\n";
    return problems.empty() ? ExitOk : ExitActionFailed;
}

int ListActions() {
    std::cout << DescribeActions();
    return ExitOk;
}

int DescribeType(const std::string& type, bool all) {
    if (all) {
        std::cout << DescribeAll();
        return ExitOk;
    }
    const TMetaClass* cls = FindDescribableClass(type);
    if (!cls || !cls->CanCreate()) {
        std::cerr << fmt::format("quillate: unknown type \"{}\" (see quillate actions)\n",
                                 EscapeControls(type));
        return ExitBadUsage;
    }
    std::cout << DescribeClass(*cls);
    return ExitOk;
}

int PrintSchema() {
    std::cout << BuildProjectSchema().dump(2) << "\n";
    return ExitOk;
}

int ShowOptions(const std::string& optionsFile) {
    if (!optionsFile.empty())
        OptionsService().Open(optionsFile);
    std::cout << OptionsService().Store().Show();
    return ExitOk;
}

int SetOption(const std::string& optionsFile, const std::string& assignment) {
    if (!optionsFile.empty())
        OptionsService().Open(optionsFile);
    auto eq = assignment.find('=');
    if (eq == std::string::npos || assignment.find('.') > eq) {
        std::cerr << fmt::format("quillate: options set expects Section.Key=VALUE, got \"{}\"\n",
                                 assignment.substr(0, eq));
        return ExitBadUsage;
    }
    auto& store = OptionsService().Store();
    store.Set(assignment.substr(0, eq), assignment.substr(eq + 1));
    store.Save();
    std::cout << fmt::format("{} saved in {}\n", assignment.substr(0, eq), store.Path().string());
    return ExitOk;
}

namespace {
// Reads one line from standard input; on a terminal the typed text is not shown.
std::string ReadSecretLine() {
    bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        std::cerr << "Password: " << std::flush;
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << "\n";
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}
} // namespace

int EncryptForProperty(const std::string& typeDotProperty, bool keepReferences) {
    auto dot = typeDotProperty.rfind('.');
    const TMetaClass* cls = dot == std::string::npos ? nullptr : FindStoredClass(typeDotProperty.substr(0, dot));
    if (!cls) {
        std::cerr << fmt::format("quillate: --for expects TYPE.PROPERTY with a known type, got \"{}\"\n",
                                 typeDotProperty);
        return ExitBadUsage;
    }
    const TPropertyInfo* info = cls->Properties().Find(typeDotProperty.substr(dot + 1));
    if (!info || info->EncryptionKey.empty()) {
        std::cerr << fmt::format("quillate: {} is not a stored password property\n", typeDotProperty);
        return ExitBadUsage;
    }
    // Passwords are expanded when used: unless asked to keep its references, the text is stored so
    // that it comes back exactly as typed.
    std::string password = ReadSecretLine();
    std::cout << EncryptString(keepReferences ? password : TVariables::Literal(password), info->EncryptionKey)
              << "\n";
    return ExitOk;
}

} // namespace quillate::cli
