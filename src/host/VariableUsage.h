// Where a project's variables are used, and the project-wide edits of its texts: renaming a
// variable, finding and replacing text. Used by `quillate validate` and the designer.
//
// The texts of an action are its stored string, string-list and variable-name properties, those of
// its stored child objects ("children[2].RemoteFile"), and what its own hooks offer for texts deeper
// down (SearchForUnusedVariables, DoInternalSearch, DoInternalReplace, RenameVariableReference: the
// e-mail action's list entries, "Recipients.Address"). Child actions are walked as actions. Script
// sources are not texts here: they are Lua, not references. A stored password is read for its
// variable references and renamed in place, but never searched, replaced or shown.
#pragma once

#include "host/Project.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quillate {

// Property: a property name of the action ("Subject"), of one of its stored children
// ("children[0].Address") or a label an action's hook gives ("Recipients.Address"); empty where an
// action's SearchForUnusedVariables says it uses a variable without naming a text.
struct TTextLocation {
    const TZRAction* Action = nullptr;
    std::string Property;
};

struct TVariableReport {
    // Every referenced or declared name -> where it is used (empty = unused), each location once, in
    // project order.
    std::map<std::string, std::vector<TTextLocation>> Uses;
    // Declared by the project, used nowhere; in declaration order.
    std::vector<std::string> Unused;
    // Used, neither declared by the project nor set by an action (a variable-name property); one
    // entry per name and location, in project order.
    std::vector<std::pair<std::string, TTextLocation>> Undefined;
};

TVariableReport FindVariableUses(const TProject& project);

// Renames the declaration and every reference (%Old% and $(Old), and variable-name properties that
// hold Old); "%%" and "$$(" literals and longer names that start with Old stay as they are. Returns
// the number of references changed. Throws std::invalid_argument, changing nothing, when newName is
// not a valid name or is already declared, or oldName is not a valid name.
int RenameVariable(TProject& project, const std::string& oldName, const std::string& newName);

// Every text that holds needle: one match per text (each entry a hook offers is one), with the whole
// text (a string list's lines joined by LF; a list matches where one of its lines does). An action's
// description is a text too ("description"); stored passwords are not. An empty needle matches
// nothing. Letter case is folded for ASCII letters only.
struct TTextMatch {
    TTextLocation Where;
    std::string Text;
};
std::vector<TTextMatch> SearchTexts(const TProject& project, const std::string& needle, bool matchCase);
// Replaces every occurrence of needle in the texts SearchTexts finds (a list line by line); returns
// how many occurrences. Throws std::invalid_argument, changing nothing, when the replacement holds
// CR, LF or NUL: every text it lands in is one line.
int ReplaceTexts(TProject& project, const std::string& needle, const std::string& replacement,
                 bool matchCase);

// The findings as warning lines, as validate prints them after the file name and the designer lists
// them: "actions[2] (Send Email [ s ]): Subject: warning: variable "Day" is used but not defined",
// then "variables: Idle: warning: variable "Idle" is declared but not used". Action is null for the
// latter. Variables named in `given` (a run's --var and --env) count as defined.
struct TVariableWarning {
    const TZRAction* Action = nullptr;
    std::string Text;
};
std::vector<TVariableWarning> VariableWarnings(const TProject& project, const std::vector<std::string>& given = {});

// One text's occurrences of needle replaced (left to right, never inside a replacement); returns how
// many. The replacer the hooks are given uses this.
int ReplaceInText(std::string& text, const std::string& needle, const std::string& replacement,
                  bool matchCase);

} // namespace quillate
