// The e-mail action's variable maintenance: the Name and Address of each entry of its four address
// lists are expanded when the message is built, but they are grandchildren of the action, below what
// the property tables reach.
#include "mail/ZREmail.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace zr {

namespace {

struct TListSlot {
    std::string_view Name; // the list's property
    TAddressListPtr TZRMessageAddresses::*List;
};
constexpr std::array<TListSlot, 4> ListSlots{{
    {"Recipients", &TZRMessageAddresses::Recipients},
    {"CopyTo", &TZRMessageAddresses::CopyTo},
    {"BlindCopyTo", &TZRMessageAddresses::BlindCopyTo},
    {"ReplyTo", &TZRMessageAddresses::ReplyTo},
}};

struct TField {
    std::string_view Name;
    std::string (TZRCustomEmailAddress::*Get)() const;
    void (TZRCustomEmailAddress::*Set)(const std::string&);
};
constexpr std::array<TField, 2> Fields{{
    {"Name", &TZRCustomEmailAddress::GetName, &TZRCustomEmailAddress::SetName},
    {"Address", &TZRCustomEmailAddress::GetAddress, &TZRCustomEmailAddress::SetAddress},
}};

std::string Label(const TListSlot& slot, const TField& field) {
    return std::string(slot.Name) + "." + std::string(field.Name);
}

// Calls edit(slot, entry, field) for every field of every entry of every list.
template <class F> void ForEachField(const TZRMessageAddresses& addresses, F&& edit) {
    for (const auto& slot : ListSlots) {
        const auto& list = addresses.*slot.List;
        if (!list)
            continue;
        for (const auto& entry : list->Entries())
            if (entry)
                for (const auto& field : Fields)
                    edit(slot, *entry, field);
    }
}

// Rewrites one field with change, which edits the text in place and returns how many changes it made.
template <class F> int ChangeField(TZREmailAddress& entry, const TField& field, F&& change) {
    std::string text = (entry.*field.Get)();
    int changed = change(text);
    if (changed > 0)
        (entry.*field.Set)(text);
    return changed;
}

} // namespace

void TCustomEmailAction::SearchForUnusedVariables(quillate::TStringList& names) const {
    ForEachField(FAddresses, [&](const TListSlot&, TZREmailAddress& entry, const TField& field) {
        for (const auto& used : quillate::TVariables::References((entry.*field.Get)()))
            names.erase(std::remove(names.begin(), names.end(), used), names.end());
    });
}

void TCustomEmailAction::DoInternalSearch(const TTextVisitor& visit) const {
    ForEachField(FAddresses, [&](const TListSlot& slot, TZREmailAddress& entry, const TField& field) {
        visit(Label(slot, field), (entry.*field.Get)());
    });
}

int TCustomEmailAction::DoInternalReplace(const std::string& label, const TTextReplacer& replace) {
    int count = 0;
    ForEachField(FAddresses, [&](const TListSlot& slot, TZREmailAddress& entry, const TField& field) {
        if (Label(slot, field) == label)
            count += ChangeField(entry, field, replace);
    });
    return count;
}

int TCustomEmailAction::RenameVariableReference(const std::string& oldName, const std::string& newName) {
    int count = 0;
    ForEachField(FAddresses, [&](const TListSlot&, TZREmailAddress& entry, const TField& field) {
        count += ChangeField(entry, field, [&](std::string& text) {
            return quillate::TVariables::RenameReferences(text, oldName, newName);
        });
    });
    return count;
}

} // namespace zr
