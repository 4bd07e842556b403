#include "host/Serialization.h"

namespace quillate {

const TMetaClass& TSerializableObject::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TSerializableObject>("TSerializableObject", "", nullptr);
    return meta;
}

void TSerializableObject::GetChildren(TSerializableList&) const {}

void TSerializableObject::AddChildObject(std::shared_ptr<TSerializableObject>) {}

void TSerializableObject::ClearChildren() {}

void TSerializableObject::Loaded() {}

TSerializationRegistry& TSerializationRegistry::Instance() {
    static TSerializationRegistry registry;
    return registry;
}

void TSerializationRegistry::RegisterClasses(std::initializer_list<const TMetaClass*> classes) {
    for (const TMetaClass* cls : classes)
        RegisterClass(*cls);
}

void TSerializationRegistry::RegisterClass(const TMetaClass& cls, const std::string& name) {
    auto& self = Instance();
    std::lock_guard lock(self.FLock);
    self.FClasses.emplace_back(name.empty() ? cls.ClassName() : name, &cls);
}

const TMetaClass* TSerializationRegistry::Find(const std::string& identifier) {
    auto& self = Instance();
    std::lock_guard lock(self.FLock);
    for (const auto& [name, cls] : self.FClasses)
        if (cls->StoredType() == identifier)
            return cls;
    for (const auto& [name, cls] : self.FClasses)
        for (const std::string& alias : cls->StoredAliases())
            if (alias == identifier)
                return cls;
    for (const auto& [name, cls] : self.FClasses)
        if (name == identifier)
            return cls;
    return nullptr;
}

std::vector<std::pair<std::string, const TMetaClass*>> TSerializationRegistry::Registrations() {
    auto& self = Instance();
    std::lock_guard lock(self.FLock);
    return self.FClasses;
}

void TSerializationRegistry::Clear() {
    auto& self = Instance();
    std::lock_guard lock(self.FLock);
    self.FClasses.clear();
}

} // namespace quillate
