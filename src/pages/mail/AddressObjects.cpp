#include "pages/mail/AddressObjects.h"

#include "host/Scripting.h"

#include <stdexcept>
#include <variant>

namespace zr::pages {

namespace {

using quillate::TSerializableList;
using quillate::TSerializableObject;

constexpr const char* AddressType = "email.address";
constexpr const char* ListType = "email.list";

std::shared_ptr<TSerializableObject> NewStored(const std::string& storedType) {
    const auto* cls = quillate::TSerializationRegistry::Find(storedType);
    auto object =
        cls && cls->CanCreate() ? std::dynamic_pointer_cast<TSerializableObject>(cls->Create()) : nullptr;
    if (!object)
        throw std::logic_error("no stored class " + storedType + " is registered");
    return object;
}

std::string TextOf(const TSerializableObject& object, const char* property) {
    return std::get<std::string>(object.GetPropertyValue(property));
}

// The child whose `roleProperty` reads `role`; children without that property are passed over.
std::shared_ptr<TSerializableObject> FindByRole(const TSerializableObject& owner, const char* roleProperty,
                                                const std::string& role) {
    TSerializableList children;
    owner.GetChildren(children);
    for (const auto& child : children)
        if (child && child->Properties().Find(roleProperty) && TextOf(*child, roleProperty) == role)
            return child;
    return nullptr;
}

TAddressRow RowOf(const TSerializableObject& address) {
    return {QString::fromStdString(TextOf(address, "Address")),
            QString::fromStdString(TextOf(address, "Name")),
            std::get<bool>(address.GetPropertyValue("Enabled"))};
}

std::vector<TAddressRow> RowsOf(const TSerializableObject& list) {
    TSerializableList entries;
    list.GetChildren(entries);
    std::vector<TAddressRow> rows;
    for (const auto& entry : entries)
        if (entry)
            rows.push_back(RowOf(*entry));
    return rows;
}

// The list's own operations are reached through the methods it offers scripts.
quillate::TScriptMethod ListMethod(const TSerializableObject& list, const std::string& scriptName) {
    for (const auto& method : quillate::CoreScriptingService().Methods())
        if (method.ScriptName == scriptName && list.GetClass().InheritsFrom(*method.Class))
            return method.Function;
    throw std::logic_error("the address list has no method " + scriptName);
}

} // namespace

std::shared_ptr<TSerializableObject> FindAddress(const TSerializableObject& owner, const std::string& role) {
    return FindByRole(owner, "AddressType", role);
}

std::shared_ptr<TSerializableObject> AddressOf(TSerializableObject& owner, const std::string& role) {
    if (auto found = FindAddress(owner, role))
        return found;
    auto address = NewStored(AddressType);
    address->SetPropertyValue("AddressType", role);
    owner.AddChildObject(address);
    return address;
}

std::vector<TAddressRow> ReadAddressList(const TSerializableObject& owner, const std::string& listType) {
    const auto list = FindByRole(owner, "ListType", listType);
    return list ? RowsOf(*list) : std::vector<TAddressRow>{};
}

void WriteAddressList(TSerializableObject& owner, const std::string& listType,
                      const std::vector<TAddressRow>& rows) {
    auto list = NewStored(ListType);
    list->SetPropertyValue("ListType", listType);
    for (const auto& row : rows) {
        auto address = NewStored(AddressType);
        address->SetPropertyValue("Address", row.Address.toStdString());
        address->SetPropertyValue("Name", row.Name.toStdString());
        address->SetPropertyValue("Enabled", row.Enabled);
        list->AddChildObject(address);
    }
    owner.AddChildObject(list);
}

std::vector<TAddressRow> LoadAddressFile(const std::string& path) {
    auto list = NewStored(ListType);
    const auto found = ListMethod(*list, "AddFromFile")(*list, {quillate::TScriptValue(path)});
    if (!found.AsBoolean())
        throw std::runtime_error("File not found: " + path);
    return RowsOf(*list);
}

std::string AddressFileText(const std::vector<TAddressRow>& rows) {
    std::string text;
    for (const auto& row : rows) {
        text += row.Address.toStdString();
        if (!row.Name.isEmpty())
            text += "," + row.Name.toStdString();
        text += "\n";
    }
    return text;
}

} // namespace zr::pages
