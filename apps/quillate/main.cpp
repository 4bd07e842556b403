// quillate: runs automation projects made of internet actions.
#include <iostream>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "host/Log.h"
#include "host/Options.h"
#include "host/Project.h"
#include "host/Registration.h"

using namespace quillate::cli;

namespace {

// A message may quote a project's or a server's text: its control characters are shown escaped, so that
// they cannot move the cursor or forge a line on the terminal.
int Fail(const std::exception& e, int exitCode) {
    std::cerr << "quillate: " << quillate::EscapeControls(e.what()) << "\n";
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"quillate: runs projects of internet actions (FTP, e-mail, news, HTTP, Telnet, ICQ)"};
    app.require_subcommand(1);
    app.set_version_flag("--version", &VersionText, "Print the versions of quillate and of the packages it loads");

    TRunArguments run;
    auto* runCmd = app.add_subcommand("run", "Run a project's actions one after another");
    runCmd->add_option("project", run.Project, "Project file (JSON)")->required();
    runCmd->add_option("--var", run.Vars, "Set a project variable, NAME=VALUE (repeatable)");
    runCmd->add_option("--env", run.EnvNames, "Copy the environment variable NAME into the project variable "
                                              "NAME; its value never reaches the log (repeatable)");
    runCmd->add_option("--options", run.OptionsFile, "Options store to use instead of the default one");
    runCmd->add_option("--log-file", run.LogFile, "Also append the log to this file");
    runCmd->add_option("--log-format", run.LogFormat,
                       "Log format; jsonl also writes progress records (time, action, progress, text) "
                       "unless --no-progress")->check(CLI::IsMember({"text", "jsonl"}));
    runCmd->add_flag("--no-progress", run.NoProgress, "Do not show progress on the terminal");

    std::string validatePath;
    std::vector<std::string> validateVars, validateEnvNames;
    auto* validateCmd = app.add_subcommand("validate", "Check every action's settings without running them");
    validateCmd->add_option("project", validatePath, "Project file (JSON)")->required();
    validateCmd->add_option("--var", validateVars, "A variable the run will set, NAME=VALUE (repeatable)");
    validateCmd->add_option("--env", validateEnvNames, "A variable the run will copy from the environment (repeatable)");

    auto* actionsCmd = app.add_subcommand("actions", "List the registered actions by category");

    std::string describeType;
    bool describeAll = false;
    auto* describeCmd = app.add_subcommand("describe", "Show the properties of one action, stored class or "
                                                       "option class");
    auto* typeOption = describeCmd->add_option("type", describeType,
                                               "Stored type identifier (action.ftp.connect) or option class "
                                               "name (TZRFTPOptions)");
    auto* allFlag = describeCmd->add_flag("--all", describeAll, "Describe every registered class");
    typeOption->excludes(allFlag);
    describeCmd->require_option(1);

    auto* schemaCmd = app.add_subcommand("schema", "Print the JSON Schema of the project format");

    std::string optionsFile;
    auto* optionsCmd = app.add_subcommand("options", "Show or change the global options");
    optionsCmd->require_subcommand(1);
    optionsCmd->add_option("--options", optionsFile, "Options store to use instead of the default one");
    auto* optionsShow = optionsCmd->add_subcommand("show", "Print every stored option (passwords hidden)");
    std::string assignment;
    auto* optionsSet = optionsCmd->add_subcommand("set", "Store one option; password keys are encrypted");
    optionsSet->add_option("assignment", assignment, "Section.Key=VALUE")->required();

    std::string encryptFor;
    auto* encryptCmd = app.add_subcommand(
        "encrypt", "Read a password on standard input and print the stored form of a password property");
    encryptCmd->add_option("--for", encryptFor, "TYPE.PROPERTY, e.g. action.ftp.connect.Cookie")->required();
    bool keepReferences = false;
    encryptCmd->add_flag("--keep-references", keepReferences,
                         "Store %Name% and $(Name) as variable references, expanded when the action runs "
                         "(by default the password is stored exactly as typed)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return ExitBadUsage;
    }

    try {
        LoadPackages();
        if (*runCmd)
            return RunProject(run);
        if (*validateCmd) {
            for (const auto& assignment : validateVars)
                validateEnvNames.push_back(assignment.substr(0, assignment.find('=')));
            return ValidateProject(validatePath, validateEnvNames);
        }
        if (*actionsCmd)
            return ListActions();
        if (*describeCmd)
            return DescribeType(describeType, describeAll);
        if (*schemaCmd)
            return PrintSchema();
        if (*optionsShow)
            return ShowOptions(optionsFile);
        if (*optionsSet)
            return SetOption(optionsFile, assignment);
        if (*encryptCmd)
            return EncryptForProperty(encryptFor, keepReferences);
    } catch (const quillate::EProjectError& e) {
        return Fail(e, ExitBadUsage);
    } catch (const quillate::EPackageError& e) {
        return Fail(e, ExitBadUsage);
    } catch (const quillate::EOptionsError& e) {
        // An options file or value that cannot be used: the command was given something unusable.
        return Fail(e, ExitBadUsage);
    } catch (const std::exception& e) {
        return Fail(e, ExitActionFailed);
    }
    return ExitBadUsage;
}
