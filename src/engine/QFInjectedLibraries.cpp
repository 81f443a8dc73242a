// The engine edits load commands through the signing library's Mach-O
// editing directly: it is the same layer's reader of the format, and the
// engine still reaches signing itself only through the codesign command.
#include "engine/QFInjectedLibraries.h"

#include <algorithm>
#include <set>

#include "codesign/MachO.h"
#include "codesign/MachOEdit.h"
#include "engine/QFProvisioningChecks.h"
#include "engine/QFSigningList.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace fs = platform::fs;
namespace path = platform::path;
namespace macho = codesign::macho;

namespace engine {

namespace {

constexpr const char* kFrameworks = "Frameworks";

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string relativeTo(const std::string& app, const std::string& full) {
    return full.size() > app.size() + 1 ? full.substr(app.size() + 1) : full;
}

bool isRemoved(const OptionsPlan& plan, const std::string& relative) {
    for (const auto& removed : plan.removedBundles)
        if (relative == removed || isBelow(relative, removed)) return true;
    return false;
}

std::optional<std::vector<macho::SliceLibraries>> librariesOf(const std::string& file) {
    codesign::InputFile input;
    if (!input.open(file)) return std::nullopt;
    auto read = macho::readLibraries(input);
    if (!read) return std::nullopt;
    return std::move(*read);
}

// The executables of the application and of its nested bundles that stay:
// the application's first, then the nested ones in path order.
struct Executable {
    std::string relative;  // below the application
    bool extension = false;  // an extension of the application itself (not of a nested application)
    std::vector<macho::SliceLibraries> slices;
};

std::vector<Executable> executables(const std::string& app, const OptionsPlan& plan) {
    std::vector<std::string> bundles = {""};
    for (const auto& nested : nestedBundles(app))
        if (!isRemoved(plan, nested)) bundles.push_back(nested);
    std::vector<std::string> applications;  // nested ones: their extensions are theirs
    for (const auto& bundle : bundles)
        if (path::toLower(path::pathExtension(bundle)) == "app") applications.push_back(bundle);
    std::vector<Executable> out;
    for (const auto& bundle : bundles) {
        const std::string full = bundle.empty() ? app : path::appendingPathComponent(app, bundle);
        Executable executable;
        executable.relative = relativeTo(app, executableOf(full));
        executable.extension = !bundle.empty() && path::toLower(path::pathExtension(bundle)) == "appex" &&
                               std::none_of(applications.begin(), applications.end(),
                                            [&](const std::string& a) { return isBelow(bundle, a); });
        if (auto slices = librariesOf(executableOf(full))) executable.slices = std::move(*slices);
        out.push_back(std::move(executable));
    }
    return out;
}

// The folder of the application's Frameworks as the executable's load
// commands may name it: "@executable_path/" and a "../" for every folder
// between the executable and the application.
std::string frameworksFrom(const std::string& executableRelative) {
    std::string up;
    const std::string folder = path::deletingLastPathComponent(executableRelative);
    if (!folder.empty())
        for (size_t count = std::count(folder.begin(), folder.end(), '/') + 1; count > 0; --count) up += "../";
    return "@executable_path/" + up + kFrameworks;
}

bool searchesFolder(const macho::SliceLibraries& slice, const std::string& folder) {
    const std::string viaLoader = "@loader_path/" + folder.substr(std::string("@executable_path/").size());
    for (std::string rpath : slice.rpaths) {
        while (rpath.size() > 1 && rpath.back() == '/') rpath.pop_back();
        if (rpath == folder || rpath == viaLoader) return true;
    }
    return false;
}

std::string architectures(const std::vector<macho::SliceLibraries>& slices) {
    std::string out;
    for (const auto& slice : slices) out += (out.empty() ? "" : ", ") + slice.arch;
    return out;
}

}  // namespace

std::optional<std::string> planLibraries(const ResignOptions& options, const std::string& app, OptionsPlan& plan) {
    if (options.injectLibraries.empty() && options.removeLibraries.empty()) return std::nullopt;
    std::vector<Executable> all = executables(app, plan);
    if (all.empty() || all.front().slices.empty())
        return "The application's executable " + quoted(all.empty() ? "" : all.front().relative) +
               " cannot be read as Mach-O code, so the libraries it loads cannot be changed.";
    std::vector<ExecutableEdit> edits(all.size());
    for (size_t i = 0; i < all.size(); ++i) edits[i].relativePath = all[i].relative;

    // Removals: every executable that loads a library of that name.
    for (const auto& name : options.removeLibraries) {
        bool found = false;
        for (size_t i = 0; i < all.size(); ++i) {
            std::set<std::string> paths;
            for (const auto& slice : all[i].slices)
                for (const auto& load : slice.loads)
                    if (load.path == name || path::lastPathComponent(load.path) == name) paths.insert(load.path);
            for (const auto& loaded : paths)
                if (std::find(edits[i].remove.begin(), edits[i].remove.end(), loaded) == edits[i].remove.end())
                    edits[i].remove.push_back(loaded);
            found |= !paths.empty();
        }
        if (!found)
            return "No executable of the application loads a library named " + quoted(name) +
                   ": check the name (the file name, or the path its load command names).";
    }

    // A library in the application's Frameworks that nothing loads any more
    // goes with its commands.
    for (size_t i = 0; i < all.size(); ++i) {
        for (const auto& removed : edits[i].remove) {
            const std::string name = path::lastPathComponent(removed);
            const std::string file = std::string(kFrameworks) + "/" + name;
            bool stillLoaded = false;
            for (size_t j = 0; j < all.size(); ++j)
                for (const auto& slice : all[j].slices)
                    for (const auto& load : slice.loads)
                        stillLoaded |= path::lastPathComponent(load.path) == name &&
                                       std::find(edits[j].remove.begin(), edits[j].remove.end(), load.path) ==
                                           edits[j].remove.end();
            if (!stillLoaded && fs::fileExists(path::appendingPathComponent(app, file)) &&
                std::find(plan.libraryFiles.begin(), plan.libraryFiles.end(), file) == plan.libraryFiles.end())
                plan.libraryFiles.push_back(file);
        }
    }

    // Injections: each library into the application's executable, and into
    // its extensions when asked.
    std::set<std::string> names;
    for (const auto& source : options.injectLibraries) {
        const std::string name = path::lastPathComponent(source);
        const std::string shown = quoted(source);
        if (!fs::fileExists(source) || fs::isDirectory(source))
            return "The library to inject " + shown + " was not found: check its path.";
        if (path::toLower(path::pathExtension(name)) != "dylib")
            return "The library to inject " + shown + " is not a .dylib file: only dynamic libraries can be injected.";
        if (!names.insert(name).second)
            return "Two libraries to inject are named " + quoted(name) + ": they would take the same place in Frameworks.";
        if (std::find(options.removeLibraries.begin(), options.removeLibraries.end(), name) !=
            options.removeLibraries.end())
            return "The library " + quoted(name) + " is both to be injected and removed: ask for one of the two.";
        auto slices = librariesOf(source);
        bool isLibrary = slices && !slices->empty();
        if (isLibrary)
            for (const auto& slice : *slices) isLibrary &= slice.filetype == macho::MH_DYLIB && slice.identity.has_value();
        if (!isLibrary)
            return "The library to inject " + shown + " is not a Mach-O dynamic library: give a .dylib built for iOS.";
        for (const auto& slice : *slices)
            if (!slice.hasSignature && slice.freeSpace < macho::kLinkeditDataCommandSize)
                return "The library to inject " + shown + " has no room in its " + slice.arch +
                       " slice for a code signature: build it with more header space.";

        const std::string folder = path::appendingPathComponent(app, kFrameworks);
        const std::string target = path::appendingPathComponent(folder, name);
        bool loadedBefore = false;
        for (size_t i = 0; i < all.size(); ++i) {
            if (i > 0 && !(options.injectIntoExtensions && all[i].extension)) continue;
            // The executable's every architecture must find itself in the library.
            for (const auto& slice : all[i].slices) {
                bool has = std::any_of(slices->begin(), slices->end(),
                                       [&](const macho::SliceLibraries& s) { return s.arch == slice.arch; });
                if (!has)
                    return "The library to inject " + shown + " has no " + slice.arch + " code (it has " +
                           architectures(*slices) + "), which " + quoted(all[i].relative) +
                           " needs: build it for every architecture of the executable.";
            }
            const std::string from = frameworksFrom(all[i].relative);
            bool viaRpath = !all[i].slices.empty() && std::all_of(all[i].slices.begin(), all[i].slices.end(),
                                                                  [&](const auto& s) { return searchesFolder(s, from); });
            ExecutableEdit::Load load;
            load.path = viaRpath ? "@rpath/" + name : from + "/" + name;
            load.command = options.injectWeak ? macho::LC_LOAD_WEAK_DYLIB : macho::LC_LOAD_DYLIB;
            load.currentVersion = slices->front().identity->currentVersion;
            load.compatibilityVersion = slices->front().identity->compatibilityVersion;
            load.library = name;
            // A run again over its own output finds the command in place.
            bool already = std::any_of(all[i].slices.front().loads.begin(), all[i].slices.front().loads.end(),
                                       [&](const macho::LibraryCommand& c) { return c.path == load.path; });
            if (already) {
                edits[i].alreadyLoaded.push_back(name);
                loadedBefore = true;
            } else {
                edits[i].add.push_back(load);
            }
        }
        if (fs::fileExists(target) && !loadedBefore)
            return "The application already holds " + quoted(std::string(kFrameworks) + "/" + name) +
                   ": rename the library to inject, or remove the application's own first.";
        plan.libraries.push_back({source, name});
    }

    // Every change must fit now, or nothing is done.
    for (auto& edit : edits) {
        if (edit.add.empty() && edit.remove.empty()) continue;
        codesign::InputFile input;
        const std::string file = path::appendingPathComponent(app, edit.relativePath);
        if (!input.open(file)) return "The executable " + quoted(edit.relativePath) + " cannot be read.";
        macho::LibraryEdit change;
        for (const auto& load : edit.add)
            change.add.push_back({load.command, load.path, load.currentVersion, load.compatibilityVersion});
        change.remove = edit.remove;
        auto planned = macho::planLibraryEdit(input, change);
        if (planned) continue;
        return "The load commands of " + quoted(edit.relativePath) + " cannot be changed: " + planned.text() +
               ". Nothing was changed: a load command is only added into the free space after the others, and "
               "sections are never moved.";
    }
    for (auto& edit : edits)
        if (!edit.add.empty() || !edit.remove.empty() || !edit.alreadyLoaded.empty())
            plan.executables.push_back(std::move(edit));
    return std::nullopt;
}

OptionsOutcome changeLibraries(const OptionsPlan& plan, const std::string& app) {
    OptionsOutcome outcome;
    auto fail = [&](const std::string& line) {
        outcome.error = line;
        return outcome;
    };
    // The copies first: a load command never names a file that is not there.
    const std::string folder = path::appendingPathComponent(app, kFrameworks);
    for (const auto& library : plan.libraries) {
        const std::string target = path::appendingPathComponent(folder, library.name);
        fs::createDirectory(folder);
        fs::removeItem(target);
        if (!fs::copyItem(library.source, target))
            return fail("The library " + quoted(library.source) + " could not be copied into Frameworks. Please try again.");
    }
    for (const auto& edit : plan.executables) {
        if (edit.add.empty() && edit.remove.empty()) continue;
        const std::string file = path::appendingPathComponent(app, edit.relativePath);
        macho::LibraryEdit change;
        for (const auto& load : edit.add)
            change.add.push_back({load.command, load.path, load.currentVersion, load.compatibilityVersion});
        change.remove = edit.remove;
        platform::Result<std::vector<macho::HeaderPatch>> patches = platform::Error("the executable cannot be read");
        if (codesign::InputFile input; input.open(file)) patches = macho::planLibraryEdit(input, change);
        platform::Result<> written = patches ? macho::applyHeaderPatches(file, *patches) : patches.error();
        if (!written)
            return fail("The load commands of " + quoted(edit.relativePath) + " could not be changed: " +
                        written.text() + ". Please try again.");
    }
    for (const auto& file : plan.libraryFiles)
        if (!fs::removeItem(path::appendingPathComponent(app, file)))
            return fail("The library " + quoted(file) + " could not be removed. Please try again.");
    for (const auto& edit : plan.executables)
        for (const auto& removed : edit.remove)
            outcome.lines.push_back({"Removed the load command of " + removed + " from " + edit.relativePath});
    for (const auto& file : plan.libraryFiles)
        outcome.lines.push_back({"Removed " + file + ": nothing in the application loads it any more"});
    for (const auto& library : plan.libraries) {
        std::string loaders;
        for (const auto& edit : plan.executables) {
            for (const auto& load : edit.add)
                if (load.library == library.name)
                    loaders += (loaders.empty() ? "" : ", ") + edit.relativePath + " as " + load.path +
                               (load.command == macho::LC_LOAD_WEAK_DYLIB ? " (weak)" : "");
            for (const auto& name : edit.alreadyLoaded)
                if (name == library.name)
                    loaders += (loaders.empty() ? "" : ", ") + edit.relativePath + " (loaded it already)";
        }
        outcome.lines.push_back({"Injected " + library.name + ": copied into Frameworks, loaded by " + loaders});
    }
    return outcome;
}

}  // namespace engine
