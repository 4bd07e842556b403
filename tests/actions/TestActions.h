// Actions that exist only for the host's tests: they log, expand, sleep, throw, branch and store
// every kind of property, so that the runner, project files and command line can be checked.
#pragma once

#include <atomic>

#include "host/Action.h"
#include "host/Options.h"
#include "host/ProjectObjects.h"

namespace quillate::testing {

enum TTestMode { tmFirst, tmSecond, tmThird };
const TEnumInfo& TestModeInfo();

// Expands Text (label Label, required when Required) and logs the result with the tag Tag.
class TTestLogAction : public TZRAction {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override;
    std::string GetActionName() const override { return "Test Log"; }

    std::string FText;
    std::string FLabel = "Text";
    bool FRequired = false;
    std::int32_t FTag = 0;
    bool FResult = true;
    std::string FResultVariable;
};

// Sleeps through the host and reports whether the stop operations reached it.
class TTestSleepAction : public TZRAction {
public:
    TTestSleepAction() { SetCanTerminate(true); }
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override;
    void StopSignalled() override { FStopSignalled = true; }
    void TerminateAction() override { FTerminated = true; }

    std::int32_t FMilliseconds = 1000;
    // Sleeps without the host, as an action stuck in a call that cannot be interrupted.
    bool FIgnoreStop = false;
    std::atomic<bool> FStopSignalled{false};
    std::atomic<bool> FTerminated{false};
};

class TTestThrowAction : public TZRAction {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override;
    std::string FMessage = "boom";
};

// A condition: succeeds, and skips its child actions when SkipChildren is set.
class TTestConditionAction : public TZRAction {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override;
    int GetActionType() const override { return atCondition; }
    void GetNextActionSource(int state, int& next) override;
    bool FSkipChildren = false;
    bool FResult = true;
};

class TTestChild : public TSerializableObject {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    void GetChildren(TSerializableList& children) const override;
    void AddChildObject(std::shared_ptr<TSerializableObject> child) override;
    void Loaded() override { FLoaded = true; }

    std::string FName;
    std::int32_t FCount = 0;
    bool FLoaded = false;
    TSerializableList FChildren;
};

class TTestProjectObject : public IProjectObject {
public:
    explicit TTestProjectObject(std::string name) : FName(std::move(name)) {}
    std::string GetName() const override { return FName; }
    std::string GetCategory() const override { return "TestObject"; }

private:
    std::string FName;
};

// Holds a property of every kind, stored children and a script event; registers a project object
// when loaded and unregisters it when destroyed.
class TTestTypesAction : public TZRAction {
public:
    TTestTypesAction();
    ~TTestTypesAction() override;
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override;
    bool Validate(TValidationErrors& errors) override;
    void GetChildren(TSerializableList& children) const override;
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
    bool FLoadedCalled = false;
    std::shared_ptr<TTestProjectObject> FObject;
};

// Options of the section "TestSection", one of whose keys is a password.
class TTestOptions : public TZROptionsObject {
public:
    static const TMetaClass& ClassInfo();
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string Section() const override { return "TestSection"; }
    TStringList PasswordKeys() const override { return {"TestPassword"}; }

    std::string FTestUser;
    std::string FTestPassword;
    std::int32_t FTestPort = 21;
};

// Registers the test classes with the host's services, as a package's ZRRegister does.
void RegisterTestActions();

} // namespace quillate::testing
