// File sets named in the project: masks over a base directory, offered to actions as project objects.
#pragma once

#include <memory>
#include <string>

#include "host/Persistent.h"
#include "host/ProjectObjects.h"

namespace quillate {

class IZRFileSet {
public:
    virtual ~IZRFileSet() = default;
    // Full paths of the matching files, one a line, lines joined by CR LF, sorted.
    virtual std::string GetFileList() const = 0;
    virtual std::string GetBaseDirectory() const = 0;
};

struct TFileSetDefinition;

class TFileSet : public IProjectObject, public IZRFileSet {
public:
    // A relative base directory is taken against the folder of the project file.
    TFileSet(const TFileSetDefinition& definition, const std::string& projectDirectory);

    std::string GetName() const override { return FName; }
    std::string GetCategory() const override { return FileSetCategory; }
    std::string GetFileList() const override;
    std::string GetBaseDirectory() const override { return FBaseDirectory; }

private:
    bool Included(const std::string& name, const std::string& relative) const;
    bool Excluded(const std::string& name, const std::string& relative) const;

    std::string FName;
    std::string FBaseDirectory;
    TStringList FInclude;
    TStringList FExclude;
    bool FRecursive;
};

} // namespace quillate
