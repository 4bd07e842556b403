// Text the command line prints about the registered classes: the project JSON Schema, the action list
// and one class's properties.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "host/Persistent.h"

namespace quillate {

nlohmann::ordered_json BuildProjectSchema();
std::string DescribeActions();
// The action or stored class with that identifier; nullptr when unknown.
const TMetaClass* FindStoredClass(const std::string& storedType);
// A stored class, or a registered option class by its class name; nullptr when unknown.
const TMetaClass* FindDescribableClass(const std::string& name);
std::string DescribeClass(const TMetaClass& cls);
// Every registered action, stored class and option class, in registration order.
std::string DescribeAll();

} // namespace quillate
