#include "TestActions.h"

#include "host/Registration.h"
#include "host/Scripting.h"

#include <stdexcept>
#include <thread>

namespace quillate::testing {

namespace {

// Expands Text (label Label, required when Required, as a password when Password) and logs the result
// with the tag Tag.
class TTestLogAction : public TZRAction {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass meta = TMetaClass::Of<TTestLogAction>(
            "TTestLogAction", "test.log", &TZRAction::ClassInfo(), [](TPropertyTable& t) {
                TPropertyBuilder<TTestLogAction>(t)
                    .String("Text", &TTestLogAction::FText)
                    .String("Label", &TTestLogAction::FLabel)
                    .Bool("Required", &TTestLogAction::FRequired)
                    .Bool("Password", &TTestLogAction::FPassword)
                    .Int("Tag", &TTestLogAction::FTag)
                    .Bool("Result", &TTestLogAction::FResult)
                    .Variable("ResultVariable", &TTestLogAction::FResultVariable);
            });
        return meta;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "Test Log"; }
    bool Execute() override {
        std::string text;
        if (FPassword ? !TryExpandPassword(FLabel, FText, text) : !TryExpandExpression(FLabel, FText, text, FRequired))
            return false;
        SendMessage(text, static_cast<TStatusTag>(FTag));
        if (!FResultVariable.empty())
            SetVariable(FResultVariable, text);
        return FResult;
    }

    std::string FText;
    std::string FLabel = "Text";
    bool FRequired = false;
    bool FPassword = false;
    std::int32_t FTag = 0;
    bool FResult = true;
    std::string FResultVariable;
};

// Sleeps through the host and reports whether the stop operations reached it.
class TTestSleepAction : public TZRAction {
public:
    TTestSleepAction() { SetCanTerminate(true); }
    static const TMetaClass& ClassInfo() {
        static const TMetaClass meta = TMetaClass::Of<TTestSleepAction>(
            "TTestSleepAction", "test.sleep", &TZRAction::ClassInfo(), [](TPropertyTable& t) {
                TPropertyBuilder<TTestSleepAction>(t)
                    .Int("Milliseconds", &TTestSleepAction::FMilliseconds)
                    .Bool("IgnoreStop", &TTestSleepAction::FIgnoreStop);
            });
        return meta;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    void StopSignalled() override { FStopSignalled = true; }
    void TerminateAction() override { FTerminated = true; }
    bool Execute() override {
        SendMessage("Sleeping", stInformation);
        bool full = true;
        if (FIgnoreStop)
            std::this_thread::sleep_for(std::chrono::milliseconds(FMilliseconds));
        else
            full = Sleep(FMilliseconds);
        SendMessage(full ? "Slept fully" : "Woken early", stInformation);
        if (FStopSignalled)
            SendMessage("StopSignalled reached the action", stInformation);
        if (FTerminated)
            SendMessage("TerminateAction reached the action", stInformation);
        return true;
    }

    std::int32_t FMilliseconds = 1000;
    // Sleeps without the host, as an action stuck in a call that cannot be interrupted.
    bool FIgnoreStop = false;
    std::atomic<bool> FStopSignalled{false};
    std::atomic<bool> FTerminated{false};
};

class TTestThrowAction : public TZRAction {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass meta = TMetaClass::Of<TTestThrowAction>(
            "TTestThrowAction", "test.throw", &TZRAction::ClassInfo(), [](TPropertyTable& t) {
                TPropertyBuilder<TTestThrowAction>(t).String("Message", &TTestThrowAction::FMessage);
            });
        return meta;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override { throw std::runtime_error(FMessage); }

    std::string FMessage = "boom";
};

// A condition: succeeds, and skips its child actions when SkipChildren is set.
class TTestConditionAction : public TZRAction {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass meta = TMetaClass::Of<TTestConditionAction>(
            "TTestConditionAction", "test.condition", &TZRAction::ClassInfo(), [](TPropertyTable& t) {
                TPropertyBuilder<TTestConditionAction>(t)
                    .Bool("SkipChildren", &TTestConditionAction::FSkipChildren)
                    .Bool("Result", &TTestConditionAction::FResult);
            });
        return meta;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    int GetActionType() const override { return atCondition; }
    bool Execute() override {
        SendMessage(FSkipChildren ? "Condition: skip children" : "Condition: run children", stInformation);
        return FResult;
    }
    void GetNextActionSource(int state, int& next) override {
        if (state == 0 && FSkipChildren)
            next = nasSkipChildActions;
    }

    bool FSkipChildren = false;
    bool FResult = true;
};

class TTestProjectObject : public IProjectObject {
public:
    explicit TTestProjectObject(std::string name) : FName(std::move(name)) {}
    std::string GetName() const override { return FName; }
    std::string GetCategory() const override { return "TestObject"; }

private:
    std::string FName;
};

} // namespace

const TEnumInfo& TestModeInfo() {
    static const TEnumInfo info{"TTestMode", {"tmFirst", "tmSecond", "tmThird"}};
    return info;
}

const TMetaClass& TTestChild::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TTestChild>(
        "TTestChild", "test.child", &TSerializableObject::ClassInfo(), [](TPropertyTable& t) {
            TPropertyBuilder<TTestChild>(t)
                .String("Name", &TTestChild::FName)
                .Int("Count", &TTestChild::FCount);
        });
    return meta;
}

TTestTypesAction::~TTestTypesAction() {
    if (FObject)
        GetProjectObjectService().UnregisterObject(FObject);
}

const TMetaClass& TTestTypesAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TTestTypesAction>(
        "TTestTypesAction", "test.types", &TZRAction::ClassInfo(), [](TPropertyTable& t) {
            TPropertyBuilder<TTestTypesAction>(t)
                .String("Name", &TTestTypesAction::FName)
                .Help("Name under which the action registers its project object")
                .Bool("Flag", &TTestTypesAction::FFlag)
                .Int("Count", &TTestTypesAction::FCount)
                .UInt("Unsigned", &TTestTypesAction::FUnsigned)
                .Int64("Big", &TTestTypesAction::FBig)
                .Double("Ratio", &TTestTypesAction::FRatio)
                .Enum("Mode", TestModeInfo(), &TTestTypesAction::FMode)
                .StringList("Lines", &TTestTypesAction::FLines)
                .Variable("ResultVariable", &TTestTypesAction::FResultVariable)
                .String("Cookie", &TTestTypesAction::FCookie)
                .Hidden()
                .Encrypted("t3stk3y4cook1");
        });
    return meta;
}

bool TTestTypesAction::Execute() {
    TScriptParams params;
    params.Declare("Action", TScriptValue::Object(*this));
    params.Declare("Count", FCount);
    ExecuteScript("OnRun", params);
    FCount = static_cast<std::int32_t>(params.Get("Count").AsInteger());
    SendMessage("Count is " + std::to_string(FCount), stInformation);
    if (!FResultVariable.empty())
        SetVariable(FResultVariable, FName);
    return true;
}

bool TTestTypesAction::Validate(TValidationErrors& errors) {
    if (FName.empty())
        errors.push_back({"Name", "Name has not been set"});
    return !FName.empty();
}

void TTestTypesAction::AddChildObject(std::shared_ptr<TSerializableObject> child) {
    if (std::dynamic_pointer_cast<TTestChild>(child))
        FChildren.push_back(std::move(child));
}

void TTestTypesAction::Loaded() {
    if (!FName.empty()) {
        FObject = std::make_shared<TTestProjectObject>(FName);
        GetProjectObjectService().RegisterObject(FObject);
    }
}

void RegisterTestActions() {
    ActionService().RegisterAction("Test", TTestLogAction::ClassInfo(), "TESTLOG");
    ActionService().RegisterAction("Test", TTestSleepAction::ClassInfo(), "TESTSLEEP");
    ActionService().RegisterAction("Test", TTestThrowAction::ClassInfo(), "TESTTHROW");
    ActionService().RegisterAction("Test", TTestConditionAction::ClassInfo(), "TESTCONDITION");
    ActionService().RegisterAction("Test", TTestTypesAction::ClassInfo(), "TESTTYPES");
    TSerializationRegistry::RegisterClasses({&TTestChild::ClassInfo()});
}

} // namespace quillate::testing

extern "C" __attribute__((visibility("default"))) void ZRRegister(quillate::IZRRegistrationHost*) {
    quillate::testing::RegisterTestActions();
}
