#include "host/ProjectObjects.h"

#include <algorithm>

namespace quillate {

void TProjectObjectRegistry::RegisterObject(std::shared_ptr<IProjectObject> object) {
    if (!object)
        return;
    std::lock_guard lock(FLock);
    for (const auto& e : FEntries)
        if (e.Object == object)
            return;
    FEntries.push_back({std::move(object), 0});
}

void TProjectObjectRegistry::UnregisterObject(const std::shared_ptr<IProjectObject>& object) {
    std::lock_guard lock(FLock);
    FEntries.erase(std::remove_if(FEntries.begin(), FEntries.end(),
                                  [&](const TEntry& e) { return e.Object == object; }),
                   FEntries.end());
}

bool TProjectObjectRegistry::ObjectExists(const std::string& name, const std::string& category) const {
    std::lock_guard lock(FLock);
    return std::any_of(FEntries.begin(), FEntries.end(), [&](const TEntry& e) {
        return e.Object->GetCategory() == category && e.Object->GetName() == name;
    });
}

std::shared_ptr<IProjectObject> TProjectObjectRegistry::AcquireObject(const std::string& name,
                                                                      const std::string& category) {
    std::lock_guard lock(FLock);
    for (auto& e : FEntries)
        if (e.Object->GetCategory() == category && e.Object->GetName() == name) {
            ++e.Acquired;
            return e.Object;
        }
    return nullptr;
}

void TProjectObjectRegistry::ReleaseObject(const std::shared_ptr<IProjectObject>& object) {
    std::lock_guard lock(FLock);
    for (auto& e : FEntries)
        if (e.Object == object && e.Acquired > 0) {
            --e.Acquired;
            return;
        }
}

int TProjectObjectRegistry::OutstandingAcquisitions() const {
    std::lock_guard lock(FLock);
    int total = 0;
    for (const auto& e : FEntries)
        total += e.Acquired;
    return total;
}

void TProjectObjectRegistry::Clear() {
    std::lock_guard lock(FLock);
    FEntries.clear();
}

TProjectObjectRegistry& ProjectObjectRegistry() {
    static TProjectObjectRegistry registry;
    return registry;
}

IProjectObjectService& GetProjectObjectService() { return ProjectObjectRegistry(); }

} // namespace quillate
