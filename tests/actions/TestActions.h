// Actions that exist only for the host's tests: they log, expand, sleep, throw, branch and store
// every kind of property, so that the runner, project files and command line can be checked. The
// classes the tests look into are declared here; the others live in TestActions.cpp.
#pragma once

#include "host/Action.h"
#include "host/ProjectObjects.h"

namespace quillate::testing {

enum TTestMode { tmFirst, tmSecond, tmThird };
const TEnumInfo& TestModeInfo();

class TTestChild : public TSerializableObject {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    void GetChildren(TSerializableList& children) const override {
        children.insert(children.end(), FChildren.begin(), FChildren.end());
    }
    void AddChildObject(std::shared_ptr<TSerializableObject> child) override { FChildren.push_back(child); }
    void Loaded() override { FLoaded = true; }

    std::string FName;
    std::int32_t FCount = 0;
    bool FLoaded = false;
    TSerializableList FChildren;
};

// Holds a property of every kind, stored children and a script event; registers a project object
// when loaded and unregisters it when destroyed.
class TTestTypesAction : public TZRAction {
public:
    TTestTypesAction() { AddScript("OnRun"); }
    ~TTestTypesAction() override;
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override;
    bool Validate(TValidationErrors& errors) override;
    void GetChildren(TSerializableList& children) const override {
        children.insert(children.end(), FChildren.begin(), FChildren.end());
    }
    void AddChildObject(std::shared_ptr<TSerializableObject> child) override;
    void Loaded() override;

    std::string FName;
    bool FFlag = true;
    std::int32_t FCount = 21;
    std::uint32_t FUnsigned = 0;
    std::int64_t FBig = 0;
    double FRatio = 0.5;
    TTestMode FMode = tmFirst;
    TStringList FLines;
    std::string FResultVariable;
    std::string FCookie;
    TSerializableList FChildren;
    std::shared_ptr<IProjectObject> FObject;
};

// Registers the test classes with the host's services, as a package's ZRRegister does.
void RegisterTestActions();

} // namespace quillate::testing
