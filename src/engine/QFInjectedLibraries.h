#pragma once
// The libraries the application's executables load: copying injected ones
// into its Frameworks folder and adding their load commands, and removing
// load commands. The Mach-O editing itself belongs to the signing library
// (codesign/MachOEdit.h), which owns the format.
#include <optional>
#include <string>

#include "engine/QFResignOptions.h"

namespace engine {

// Fills plan.libraries and plan.executables from the options, checking
// every library and every executable's room; the refusal line, or nothing.
// The bundles in plan.removedBundles are left out.
std::optional<std::string> planLibraries(const ResignOptions& options, const std::string& appPath, OptionsPlan& plan);

// Carries the plan out: removals first, then the copies and the new load
// commands. One line per removed library and per injected one.
OptionsOutcome changeLibraries(const OptionsPlan& plan, const std::string& appPath);

}  // namespace engine
