// Objects stored in projects, and the registry that recreates them from their stored type identifiers.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/Persistent.h"

namespace quillate {

class TSerializableObject;
using TSerializableList = std::vector<std::shared_ptr<TSerializableObject>>;

class TSerializableObject : public TPersistent {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }

    // The stored child objects, in the order they are written.
    virtual void GetChildren(TSerializableList& children) const;
    // Hands a child read from a project to its owner; the base ignores it.
    virtual void AddChildObject(std::shared_ptr<TSerializableObject> child);
    // Drops the children that AddChildObject takes as list entries (script steps), so that an
    // editor can hand the edited list back in its new order; the base has none.
    virtual void ClearChildren();
    // Called once after the object, its properties and its children have been read.
    virtual void Loaded();
};

// Stored type identifier (or registration name) -> class.
class TSerializationRegistry {
public:
    static void RegisterClasses(std::initializer_list<const TMetaClass*> classes);
    // An empty name registers the class under its class name.
    static void RegisterClass(const TMetaClass& cls, const std::string& name = {});

    // Looks up a stored type identifier first, then a class's stored aliases, then a registration
    // name; nullptr when unknown.
    static const TMetaClass* Find(const std::string& identifier);
    // Every registration, in order: (name, class).
    static std::vector<std::pair<std::string, const TMetaClass*>> Registrations();
    static void Clear();

private:
    static TSerializationRegistry& Instance();
    std::mutex FLock;
    std::vector<std::pair<std::string, const TMetaClass*>> FClasses;
};

} // namespace quillate
