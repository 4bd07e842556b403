#include "PackageTestSupport.h"

#include <mutex>

#include "package/ZRInternetReg.h"

namespace quillate::testing {

void EnsurePackageRegistered() {
    static std::once_flag once;
    std::call_once(once, [] { zr::RegisterPackage(false); });
}

std::vector<std::string> TPackageRun::Run(const std::string& json) {
    EnsurePackageRegistered();
    TProject project = TProject::Parse(json, "test.json");
    return Run(project);
}

std::vector<std::string> TPackageRun::Run(TProject& project) {
    for (const auto& [name, value] : project.Variables)
        Variables.Set(name, value);
    TRunner runner(project.Actions, Variables, Log);
    Outcome = runner.Run();
    return ActionLines();
}

std::vector<std::string> TPackageRun::ActionLines() const {
    std::vector<std::string> lines;
    for (const auto& e : Log.Entries())
        if (e.Group > 0 && e.Text != e.Action)
            lines.push_back(e.Text);
    return lines;
}

bool TPackageRun::AnyLineContains(const std::string& text) const {
    for (const auto& e : Log.Entries())
        if (e.Text.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace quillate::testing
