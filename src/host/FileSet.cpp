#include "host/FileSet.h"

#include <algorithm>
#include <filesystem>

#include "host/Project.h"
#include "host/RegEx.h"

namespace quillate {

namespace fs = std::filesystem;

namespace {
// A mask with a folder delimiter is matched against the path below the base, otherwise against the name.
bool MatchesAny(const TStringList& masks, const std::string& name, const std::string& relative) {
    for (std::string mask : masks) {
        std::replace(mask.begin(), mask.end(), '\\', '/');
        bool byPath = mask.find('/') != std::string::npos;
        if (MatchesMask(byPath ? relative : name, mask))
            return true;
    }
    return false;
}
} // namespace

TFileSet::TFileSet(const TFileSetDefinition& definition, const std::string& projectDirectory)
    : FName(definition.Name), FInclude(definition.Include), FExclude(definition.Exclude),
      FRecursive(definition.Recursive) {
    fs::path base = definition.BaseDirectory.empty() ? fs::path(projectDirectory) : fs::path(definition.BaseDirectory);
    if (base.is_relative() && !projectDirectory.empty())
        base = fs::path(projectDirectory) / base;
    FBaseDirectory = base.lexically_normal().string();
    while (FBaseDirectory.size() > 1 && FBaseDirectory.back() == '/')
        FBaseDirectory.pop_back();
    if (FInclude.empty())
        FInclude.push_back("*");
}

bool TFileSet::Included(const std::string& name, const std::string& relative) const {
    return MatchesAny(FInclude, name, relative);
}

bool TFileSet::Excluded(const std::string& name, const std::string& relative) const {
    return MatchesAny(FExclude, name, relative);
}

std::string TFileSet::GetFileList() const {
    std::vector<std::string> files;
    std::error_code ec;
    fs::path base(FBaseDirectory);
    auto consider = [&](const fs::directory_entry& entry) {
        std::error_code statError;
        if (!entry.is_regular_file(statError))
            return;
        std::string relative = entry.path().lexically_relative(base).generic_string();
        std::string name = entry.path().filename().string();
        if (Included(name, relative) && !Excluded(name, relative))
            files.push_back(entry.path().string());
    };
    if (FRecursive) {
        // Links to folders are listed but never followed, so a loop of links cannot trap the walk.
        for (fs::recursive_directory_iterator it(base, fs::directory_options::skip_permission_denied, ec), end;
             !ec && it != end; it.increment(ec)) {
            if (it->is_directory(ec) && Excluded(it->path().filename().string(),
                                                 it->path().lexically_relative(base).generic_string()))
                it.disable_recursion_pending();
            else
                consider(*it);
        }
    } else {
        for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec))
            consider(*it);
    }
    std::sort(files.begin(), files.end());
    std::string list;
    for (const auto& f : files) {
        if (!list.empty())
            list += "\r\n";
        list += f;
    }
    return list;
}

} // namespace quillate
