// The project-object registry: objects that live while the project is loaded, found by name and category.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillate {

inline constexpr const char* FileSetCategory = "FileSetObject";

class IProjectObject {
public:
    virtual ~IProjectObject() = default;
    virtual std::string GetName() const = 0;
    virtual std::string GetCategory() const = 0;
};

class IProjectObjectService {
public:
    virtual ~IProjectObjectService() = default;
    // Registers under the object's current name and category; a second object with the same key
    // replaces nothing: the first one stays findable until it is unregistered.
    virtual void RegisterObject(std::shared_ptr<IProjectObject> object) = 0;
    virtual void UnregisterObject(const std::shared_ptr<IProjectObject>& object) = 0;
    virtual bool ObjectExists(const std::string& name, const std::string& category) const = 0;
    // The object, or nullptr for an unknown name or another category (compared exactly).
    virtual std::shared_ptr<IProjectObject> AcquireObject(const std::string& name, const std::string& category) = 0;
    virtual void ReleaseObject(const std::shared_ptr<IProjectObject>& object) = 0;
};

// The object as T, acquired; nullptr when there is none, or (released again) when it is not a T.
template <class T>
std::shared_ptr<T> AcquireObjectAs(IProjectObjectService& registry, const std::string& name,
                                   const std::string& category) {
    std::shared_ptr<IProjectObject> object = registry.AcquireObject(name, category);
    std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(object);
    if (object && !typed)
        registry.ReleaseObject(object);
    return typed;
}

class TProjectObjectRegistry : public IProjectObjectService {
public:
    void RegisterObject(std::shared_ptr<IProjectObject> object) override;
    void UnregisterObject(const std::shared_ptr<IProjectObject>& object) override;
    bool ObjectExists(const std::string& name, const std::string& category) const override;
    std::shared_ptr<IProjectObject> AcquireObject(const std::string& name, const std::string& category) override;
    void ReleaseObject(const std::shared_ptr<IProjectObject>& object) override;

    // Number of acquisitions not yet released (a leak check for tests and the runner).
    int OutstandingAcquisitions() const;
    void Clear();

private:
    struct TEntry {
        std::shared_ptr<IProjectObject> Object;
        int Acquired = 0;
    };
    mutable std::mutex FLock;
    std::vector<TEntry> FEntries;
};

// The registry of the loaded project.
IProjectObjectService& GetProjectObjectService();
TProjectObjectRegistry& ProjectObjectRegistry();

} // namespace quillate
