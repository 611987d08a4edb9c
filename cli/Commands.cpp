#include "Commands.h"

#include "CliReporter.h"
#include "ProfileJson.h"
#include "ProfileReport.h"
#include "StateJson.h"
#include "Progress.h"

#include "common/Version.h"
#include "config/Folders.h"
#include "config/LanguageKeyNames.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/ReadBack.h"
#include "session/KeyboardController.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace kestrune::cli {

namespace {

// Ends a command with an exit status and a message for standard error.
struct Failure {
    int code;
    std::string message;
};

std::string ResultText(int code)
{
    std::string meaning;
    switch (code) {
    case kResultAbsent:
        meaning = "keyboard absent or not answering";
        break;
    case kResultNotSent:
        meaning = "the device library did not send the request";
        break;
    case kResultNoReply:
        meaning = "the keyboard did not answer, no reply after " + std::to_string(kSendAttempts) + " attempts";
        break;
    case kResultBadReply:
        meaning = "the keyboard's replies arrived damaged (cut short or failing their checksum), " +
                  std::to_string(kSendAttempts) + " times; nothing of them was used";
        break;
    case kResultStatusFF:
        meaning = "the keyboard refused the command with status ff";
        break;
    case kResultStatusFE:
        meaning = "the keyboard refused the command with status fe";
        break;
    case kResultBadProfile:
        meaning = "profile number out of range";
        break;
    default:
        meaning = "unexpected result";
        break;
    }
    return "result " + std::to_string(code) + ": " + meaning;
}

// The lighting read gives no result code of its own, only whether the
// settings record that opens it arrived.
constexpr const char* kLightingUnread =
    "reading the lighting failed: the keyboard refused or did not answer the read of its settings";

void Require(int code, const std::string& what)
{
    if (code != kResultOk) throw Failure{kExitKeyboard, what + " failed (" + ResultText(code) + ")"};
}

struct Context {
    std::ostream& out;
    std::ostream& err;
    CliReporter& reporter;
    bool emulator = false;
};

// Whether a command encodes or decodes key tables, and so needs the keyboard's
// factory key table; the attach reads it only then.
enum class KeyTables { Unused, Used };

// The keyboard of one command: the library bound the way the program binds
// it, and the attach at start handled when this returns. An absent keyboard
// is one that is not attached. The attach reads no more than the command
// needs: each command reads the rest itself.
// Whether OpenSession waits for the attach at start; one that does not
// leaves the wait (WaitForKeyboard) to its caller.
enum class Attach { Wait, InBackground };

std::unique_ptr<KeyboardController> OpenSession(Context& ctx, KeyTables keyTables, Attach attach = Attach::Wait)
{
    auto path = KeyboardSession::ProgramLibraryPath(ctx.emulator);
    if (!path) throw Failure{kExitKeyboard, "cannot use the device library: " + path.error()};
    KeyboardControllerOptions options;
    options.session.libraryPath = *path;
    options.session.attachReads.factoryTable = keyTables == KeyTables::Used;
    options.readAtAttach = false;
    auto session = KeyboardController::Create(std::move(options), ctx.reporter);
    if (!session) throw Failure{kExitKeyboard, "cannot use the device library: " + session.error()};
    if (Status started = (*session)->Start(); !started)
        throw Failure{kExitKeyboard, "cannot use the device library: " + started.error()};
    if (attach == Attach::Wait) (*session)->WaitForAttach();
    return std::move(*session);
}

void WaitForKeyboard(KeyboardController& session)
{
    session.WaitForAttach();
    if (!session.Attached())
        throw Failure{kExitKeyboard, "no keyboard is attached (" + ResultText(kResultAbsent) + ")"};
}

std::unique_ptr<KeyboardController> NeedKeyboard(Context& ctx, KeyTables keyTables = KeyTables::Unused)
{
    auto session = OpenSession(ctx, keyTables);
    WaitForKeyboard(*session);
    return session;
}

// The record the attach read, or the attach read's failure in words.
SettingsRecord AttachSettings(KeyboardSession& session)
{
    if (std::optional<SettingsRecord> record = session.Settings()) return *record;
    Require(session.GetTransfer().AttachSettingsResult(), "reading the keyboard's settings");
    // Read, yet forgotten since: the keyboard went away after the attach.
    throw Failure{kExitKeyboard, "reading the keyboard's settings failed (" + ResultText(kResultAbsent) + ")"};
}

std::string EffectList(const SettingsRecord& settings)
{
    std::string text;
    for (std::size_t slot = 0; slot < wire::kEffectListSlots; ++slot)
        if (int effect = settings.EffectSlot(slot); effect != 0)
            text += (text.empty() ? "" : " ") + std::to_string(effect);
    return text.empty() ? "none" : text;
}

const char* OnOff(std::uint8_t flag)
{
    return flag != 0 ? "on" : "off";
}

void PrintLighting(std::ostream& out, const LightingState& state)
{
    out << "Lighting:\n"
        << "  effect: " << state.effect << "\n"
        << "  brightness: " << state.brightness << "\n"
        << "  speed: " << (kSpeedMax - state.speed) << "\n"
        << "  direction: " << (state.direction == 0 ? "left" : "right") << "\n";
    for (int effect : kColouredEffects) {
        auto which = ColourOfEffect(effect);
        if (!which) continue;
        out << "  effect " << effect << ": colour " << ColourText(state.ColourOf(*which));
        if (RainbowSlot(effect)) out << ", rainbow " << OnOff(state.RainbowOf(effect));
        if (effect == kEffectColourTrail) out << ", trigger " << (state.trigger[1] != 0 ? "grid" : "single");
        out << "\n";
    }
}

// --- Profile files ----------------------------------------------------------

CurrentCopy LoadProfileOrFail(const std::string& path, ActionSlots slots = ActionSlots::All)
{
    auto copy = LoadProfileEitherForm(path, slots);
    if (!copy) throw Failure{kExitBadFile, path + ": " + copy.error()};
    return std::move(*copy);
}

int CountAssigned(const CurrentCopy& copy)
{
    int count = 0;
    for (std::size_t map = 0; map < wire::kProfileCount; ++map)
        for (std::size_t slot = 0; slot < kKeyMapSlots; ++slot)
            if (const KeyAssignment* a = copy.Assignment(map, slot); a && a->type != AssignmentType::Default) ++count;
    return count;
}

void Validate(Context& ctx, const std::string& path)
{
    const CurrentCopy copy = LoadProfileOrFail(path);
    ctx.out << path << ": a valid profile file with " << CountAssigned(copy) << " assigned keys and "
            << copy.MacroCount() << " macros\n";
}

void Show(Context& ctx, const std::string& path, bool json)
{
    const CurrentCopy copy = LoadProfileOrFail(path);
    if (json)
        ctx.out << ProfileJson(copy).dump(2) << "\n";
    else
        ctx.out << ProfileText(copy);
}

void WriteOrFail(const std::string& path, std::span<const std::uint8_t> bytes)
{
    if (Status written = WriteFileAtomically(path, bytes); !written)
        throw Failure{kExitFile, "writing " + path + " failed: " + written.error() + "; the file was left as it was"};
}

void ExportJson(Context& ctx, const std::string& path, const std::string& outPath)
{
    CurrentCopy copy = LoadProfileOrFail(path);
    const std::string text = ProfileToJson(copy).dump(2) + "\n";
    if (!LooksLikeJson(path)) {
        // A file from elsewhere may carry bytes the program never writes (it
        // writes its files the way the JSON is turned back): say where a
        // profile file made from this JSON would differ.
        std::ifstream file(path, std::ios::binary);
        std::vector<std::uint8_t> original(copy.Block()->header.totalSize);
        file.read(reinterpret_cast<char*>(original.data()), static_cast<std::streamsize>(original.size()));
        const Result<std::vector<std::uint8_t>> again = ProfileImageFromJson(nlohmann::json::parse(text));
        if (!again) throw Failure{kExitBadFile, path + ": its JSON form does not read back: " + again.error()};
        if (*again != original) {
            const auto [ours, theirs] = std::ranges::mismatch(*again, original);
            const auto at = static_cast<std::size_t>(ours - again->begin());
            ctx.reporter.Say("note: " + path + " holds bytes the program does not write (the first at byte " +
                             std::to_string(at) +
                             "); a profile file made from this JSON describes the same configuration but differs "
                             "there");
        }
    }
    if (outPath.empty())
        ctx.out << text;
    else
        WriteOrFail(outPath, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void ImportJson(Context& ctx, const std::string& path, const std::string& outPath)
{
    Result<nlohmann::json> document = ReadJsonDocument(path);
    if (!document) throw Failure{kExitBadFile, path + ": " + document.error()};
    Result<std::vector<std::uint8_t>> image = ProfileImageFromJson(*document);
    if (!image) throw Failure{kExitBadFile, path + ": " + image.error()};
    WriteOrFail(outPath, *image);
    ctx.reporter.Say("wrote " + outPath + " from " + path);
}

void Apply(Context& ctx, const std::string& path)
{
    // The file is read and checked while the keyboard's attach reads its
    // factory table and settings, which the download needs first; a file
    // that does not pass ends the command before anything is written, and
    // before a library that cannot be used is named. Read and parsed once;
    // only the actions the macros use are decoded: the keyboard takes no
    // more, and the working file describes what the keyboard holds.
    std::unique_ptr<KeyboardController> keyboard;
    std::optional<Failure> unopened;
    try {
        keyboard = OpenSession(ctx, KeyTables::Used, Attach::InBackground);
    } catch (const Failure& failure) {
        unopened = failure;
    }
    CurrentCopy copy = LoadProfileOrFail(path, ActionSlots::Used);
    if (unopened) throw *unopened;
    WaitForKeyboard(*keyboard);
    // The working file describes what the keyboard holds, so it follows only a download that was taken; a missing
    // working file stays missing.
    ApplyAllOutcome outcome;
    {
        ProgressBar progress(ctx.err, "Applying", StandardErrorIsTerminal());
        outcome = keyboard->ApplyAllProfiles(std::move(copy), WorkingProfilePath());
    }
    if (!outcome.downloaded)
        throw Failure{kExitKeyboard, "the download of " + path + " to the keyboard failed (" +
                                         outcome.downloaded.error() +
                                         "); the keyboard may hold part of the new configuration, apply again"};
    if (outcome.fileProblem)
        throw Failure{kExitFile, "applied " + path +
                                     " to all three profiles, but the working profile file was not "
                                     "updated: " +
                                     *outcome.fileProblem};
    ctx.reporter.Say("applied " + path + " to all three profiles");
}

void ReadBack(Context& ctx, const std::string& path)
{
    auto keyboard = NeedKeyboard(ctx, KeyTables::Used);
    ReadBackOutcome outcome;
    {
        ProgressBar progress(ctx.err, "Reading", StandardErrorIsTerminal());
        outcome = keyboard->ReadBackToFile(path);
    }
    switch (outcome.failure) {
    case ReadBackOutcome::Failure::None:
        break;
    case ReadBackOutcome::Failure::Keyboard:
        throw Failure{kExitKeyboard, "reading the keyboard's configuration into " + path + " failed at " +
                                         outcome.reason + " (" +
                                         (outcome.code ? ResultText(*outcome.code)
                                                       : std::string("the keyboard did not answer or gave bytes that "
                                                                     "do not decode")) +
                                         "); the file was left as it was"};
    case ReadBackOutcome::Failure::File:
        throw Failure{kExitFile, "the keyboard's configuration was read but not saved: " + outcome.reason +
                                     "; the file was left as it was"};
    }
    ctx.reporter.Say("wrote the keyboard's configuration to " + path +
                     (outcome.macrosDropped ? ", without its macros" : ""));
}

// --- Keyboard state ---------------------------------------------------------

void ShowStatus(Context& ctx, bool json)
{
    auto session = OpenSession(ctx, KeyTables::Unused);
    if (!session->Attached()) {
        if (json)
            ctx.out << nlohmann::ordered_json{{"attached", false}}.dump(2) << "\n";
        else
            ctx.out << "Keyboard: not attached\n";
        throw Failure{kExitKeyboard, "no keyboard is attached (" + ResultText(kResultAbsent) + ")"};
    }
    KeyboardSession& s = session->Session();
    const SettingsRecord settings = AttachSettings(s);
    if (json) {
        if (s.GetLighting().ReadLightingState(false, settings) != 0) throw Failure{kExitKeyboard, kLightingUnread};
        ctx.out << StatusJson(s.LibraryDescription(), settings, s.GetLighting().State()).dump(2) << "\n";
        return;
    }
    ctx.out << "Keyboard: attached (" << s.LibraryDescription() << ")\n"
            << "Active profile: " << settings.ActiveProfileByte() << "\n"
            << "Macro capacity: " << settings.MacroCapacityBytes() << " bytes\n"
            << "Effects offered: " << EffectList(settings) << "\n";
    if (s.GetLighting().ReadLightingState(false, settings) != 0) throw Failure{kExitKeyboard, kLightingUnread};
    PrintLighting(ctx.out, s.GetLighting().State());
}

void ShowProfile(Context& ctx, bool json)
{
    auto session = NeedKeyboard(ctx);
    const int active = AttachSettings(session->Session()).ActiveProfileByte();
    if (json)
        ctx.out << ProfileNumberJson(active).dump(2) << "\n";
    else
        ctx.out << active << "\n";
}

void SetProfile(Context& ctx, int profile)
{
    auto session = NeedKeyboard(ctx);
    // The record the attach just read with one byte changed. The keyboard
    // answers the write with its status: a switch it refused fails here, and
    // nothing more need be read to know it took one.
    auto exchanges = session->Protocol().LockExchanges();
    SettingsRecord settings = AttachSettings(session->Session());
    settings.SetActiveProfileByte(static_cast<std::uint8_t>(profile));
    Require(session->Protocol().WriteSettings(settings.bytes), "switching to profile " + std::to_string(profile));
    ctx.reporter.Say("active profile is now " + std::to_string(profile));
}

// --- Lighting ---------------------------------------------------------------

struct LightingRequest {
    std::optional<int> effect;
    std::optional<int> brightness;
    std::optional<int> speed; // slider position: 0 slowest .. 4 fastest
    std::optional<std::string> direction;
    std::optional<std::string> colour;
    std::optional<std::string> rainbow;
    std::optional<std::string> trigger;

    bool Empty() const { return !effect && !brightness && !speed && !direction && !colour && !rainbow && !trigger; }
};

// The lighting's own reads; the settings record is the attach's.
LightingState ReadLighting(KeyboardSession& session, bool withKeyColours)
{
    const SettingsRecord settings = AttachSettings(session);
    if (session.GetLighting().ReadLightingState(withKeyColours, settings) != 0)
        throw Failure{kExitKeyboard, kLightingUnread};
    return session.GetLighting().State();
}

void ShowLighting(Context& ctx, bool json)
{
    auto session = NeedKeyboard(ctx);
    const LightingState state = ReadLighting(session->Session(), false);
    if (json) {
        nlohmann::ordered_json out = {{"effectsOffered", EffectsJson(state.settings)}};
        out.update(LightingJson(state));
        ctx.out << out.dump(2) << "\n";
        return;
    }
    ctx.out << "Effects offered: " << EffectList(state.settings) << "\n";
    PrintLighting(ctx.out, state);
}

void SetLighting(Context& ctx, const LightingRequest& request)
{
    if (request.Empty())
        throw Failure{kExitUsage, "lighting set needs at least one of --effect, --brightness, --speed, --direction, "
                                  "--colour, --rainbow, --trigger"};
    std::optional<Colour> colour;
    if (request.colour) {
        colour = ParseColour(*request.colour);
        if (!colour) throw Failure{kExitUsage, "--colour wants RRGGBB in hex, not \"" + *request.colour + "\""};
    }

    auto session = NeedKeyboard(ctx);
    Lighting& lighting = session->GetLighting();
    // The key colour table is needed only to send it whole again with a new
    // base colour of effect 5, and is read only then.
    const bool baseColour = colour && request.effect == kEffectPerKey;
    const LightingState before = ReadLighting(session->Session(), baseColour);
    const int target = request.effect.value_or(before.effect);
    if (request.effect && !before.settings.OffersEffect(*request.effect))
        throw Failure{kExitUsage, "the keyboard does not offer effect " + std::to_string(*request.effect) +
                                      " (it offers " + EffectList(before.settings) + ")"};
    if (colour && !ColourOfEffect(target))
        throw Failure{kExitUsage, "effect " + std::to_string(target) + " has no colour of its own"};
    if (request.rainbow && !RainbowSlot(target))
        throw Failure{kExitUsage, "effect " + std::to_string(target) + " has no rainbow option"};
    if (request.trigger && target != kEffectColourTrail)
        throw Failure{kExitUsage, "only effect " + std::to_string(kEffectColourTrail) + " has a trigger"};
    if (colour && target == kEffectPerKey && !baseColour) ReadLighting(session->Session(), true);

    // Each write's update is answered by the keyboard: a part it refused or
    // left unanswered fails the command, named with the keyboard's result.
    auto take = [](const char* what, int result) {
        if (result != kResultOk)
            throw Failure{kExitKeyboard,
                          std::string("the keyboard did not take the new ") + what + " (" + ResultText(result) + ")"};
    };
    if (request.effect) take("effect", lighting.WriteEffect(*request.effect));
    if (request.brightness) take("brightness", lighting.WriteBrightness(*request.brightness));
    if (request.speed) take("speed", lighting.WriteSpeed(*request.speed));
    if (request.direction) take("direction", lighting.WriteDirection(*request.direction == "right" ? 1 : 0));
    if (colour)
        take("colour",
             target == kEffectPerKey ? lighting.WriteBaseColour(*colour) : lighting.WriteEffectColour(target, *colour));
    if (request.rainbow) take("rainbow", lighting.WriteRainbowFlag(target, *request.rainbow == "on" ? 1 : 0));
    if (request.trigger)
        take("trigger", lighting.WriteTrigger(*request.trigger == "grid" ? kTriggerGrid : kTriggerSingleKey));
    // What was read, with what the keyboard took since.
    PrintLighting(ctx.out, lighting.State());
}

void LightingDefaults(Context& ctx)
{
    auto session = NeedKeyboard(ctx);
    Require(session->GetLighting().WriteLightingDefaults(), "setting the lighting defaults");
    ctx.reporter.Say("lighting set to the defaults");
}

void KeyColour(Context& ctx, const std::string& keyText, const std::string& colourText)
{
    const auto light = ParseKeyLight(keyText);
    if (!light) throw Failure{kExitUsage, "no key is called \"" + keyText + "\""};
    const auto colour = ParseColour(colourText);
    if (!colour) throw Failure{kExitUsage, "the colour wants RRGGBB in hex, not \"" + colourText + "\""};

    auto session = NeedKeyboard(ctx);
    // One light's three bytes go on their own: neither the table nor the block is needed.
    if (!AttachSettings(session->Session()).OffersEffect(kEffectPerKey))
        throw Failure{kExitKeyboard,
                      "the keyboard offers no per-key colours (effect " + std::to_string(kEffectPerKey) + ")"};
    Require(session->GetLighting().WriteKeyColour(*light, *colour),
            "setting the colour of light " + std::to_string(*light));
    ctx.reporter.Say("light " + std::to_string(*light) + " is now " + ColourText(*colour));
}

void BootMode(Context& ctx, bool yes)
{
    auto session = NeedKeyboard(ctx);
    if (!yes && !ctx.reporter.Confirm("Switch the keyboard to its boot loader? It stops working as a keyboard "
                                      "until a firmware updater finishes."))
        throw Failure{kExitKeyboard, "not confirmed; nothing was sent"};
    Require(session->Protocol().EnterBootMode(), "the boot request");
    ctx.reporter.Say("the keyboard is switching to its boot loader");
}

} // namespace

int RunCli(int argc, char** argv, std::ostream& out, std::ostream& err, std::istream& in)
{
    // The skin's language file beside the program, in English; the built-in texts without one.
    // Key and media names follow it too.
    if (LoadEnglishTexts(TheLanguageTable(), LanguageFilePath())) ApplyLanguageToKeyNames(TheLanguageTable());
    CliReporter reporter(err, in);
    Context ctx{out, err, reporter};

    CLI::App app{"Configures the Kestrune keyboard from a terminal: profiles, profile files and lighting.",
                 kProgramName};
    app.set_version_flag("--version", std::string(kProgramName) + " " + VersionString());
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("--emulator", ctx.emulator, "use the keyboard emulator instead of a keyboard");
    app.footer("Device library: --emulator, else $KESTRUNE_DEVICE_LIBRARY, else libHidRelay.so beside the "
               "program.\nExit status: 0 done, 1 keyboard absent or failed, 2 bad usage, 3 bad profile file, 4 a file "
               "could not be written.");

    std::function<void()> action;
    std::string file;
    std::string key;
    std::string colour;
    bool json = false;
    bool yes = false;
    int profile = 0;
    LightingRequest request;

    auto* status =
        app.add_subcommand("status", "whether a keyboard is attached, its profile, macro capacity, effects and lighting");
    status->add_flag("--json", json, "print JSON for scripts");
    status->callback([&] { action = [&] { ShowStatus(ctx, json); }; });

    auto* profileCommand = app.add_subcommand("profile", "print the active profile, or switch it with 'set N'");
    profileCommand->add_flag("--json", json, "print JSON for scripts");
    profileCommand->callback([&] {
        if (!action) action = [&] { ShowProfile(ctx, json); };
    });
    auto* profileSet = profileCommand->add_subcommand("set", "make profile N (0 to 2) the active one");
    profileSet->add_option("N", profile, "profile number")->required()->check(CLI::Range(0, wire::kProfileCount - 1));
    profileSet->callback([&] { action = [&] { SetProfile(ctx, profile); }; });

    auto* readBack = app.add_subcommand("read-back", "save the keyboard's whole configuration to a profile file");
    readBack->add_option("FILE", file, "profile file to write")->required();
    readBack->callback([&] { action = [&] { ReadBack(ctx, file); }; });

    auto* apply = app.add_subcommand("apply", "check a profile file and download it to all three profiles");
    apply->add_option("FILE", file, "profile file (or its JSON form) to apply")->required();
    apply->callback([&] { action = [&] { Apply(ctx, file); }; });

    auto* validate = app.add_subcommand("validate", "check a profile file or its JSON form");
    validate->add_option("FILE", file, "profile file, or its JSON form")->required();
    validate->callback([&] { action = [&] { Validate(ctx, file); }; });

    auto* show = app.add_subcommand("show", "print a profile file's key assignments and macros");
    show->add_option("FILE", file, "profile file")->required();
    show->add_flag("--json", json, "print JSON for scripts");
    show->callback([&] { action = [&] { Show(ctx, file, json); }; });

    std::string outFile;
    auto* exportJson = app.add_subcommand("export-json", "print a profile file as JSON, or write it to OUT");
    exportJson->add_option("FILE", file, "profile file")->required();
    exportJson->add_option("OUT", outFile, "JSON file to write (standard output without it)");
    exportJson->callback([&] { action = [&] { ExportJson(ctx, file, outFile); }; });

    auto* importJson = app.add_subcommand("import-json", "make a profile file from the JSON form of one");
    importJson->add_option("FILE", file, "JSON file")->required();
    importJson->add_option("OUT", outFile, "profile file to write")->required();
    importJson->callback([&] { action = [&] { ImportJson(ctx, file, outFile); }; });

    auto* lightingCommand = app.add_subcommand("lighting", "print the lighting, or change it with 'set' or 'defaults'");
    lightingCommand->add_flag("--json", json, "print JSON for scripts");
    lightingCommand->callback([&] {
        if (!action) action = [&] { ShowLighting(ctx, json); };
    });
    auto* lightingSet = lightingCommand->add_subcommand("set", "change the lighting effect and its parameters");
    lightingSet->add_option("--effect", request.effect, "effect id the keyboard offers (1 to 15)")
        ->check(CLI::Range(kFirstEffect, kLastEffect));
    lightingSet->add_option("--brightness", request.brightness, "0 to 4")->check(CLI::Range(0, kBrightnessMax));
    lightingSet->add_option("--speed", request.speed, "0 (slowest) to 4 (fastest)")->check(CLI::Range(0, kSpeedMax));
    lightingSet->add_option("--direction", request.direction, "left or right")->check(CLI::IsMember({"left", "right"}));
    lightingSet->add_option("--colour,--color", request.colour, "RRGGBB, the colour of the effect");
    lightingSet->add_option("--rainbow", request.rainbow, "on or off")->check(CLI::IsMember({"on", "off"}));
    lightingSet->add_option("--trigger", request.trigger, "single or grid (effect 4)")
        ->check(CLI::IsMember({"single", "grid"}));
    lightingSet->callback([&] { action = [&] { SetLighting(ctx, request); }; });
    lightingCommand->add_subcommand("defaults", "restore the keyboard's default lighting")->callback([&] {
        action = [&] { LightingDefaults(ctx); };
    });

    auto* keyColour = app.add_subcommand("key-colour", "set the colour of one key's light (effect 5)");
    keyColour->alias("key-color");
    keyColour->add_option("KEY", key, "key name (A, Esc, G1, Fn) or KeyIndex (0x1e)")->required();
    keyColour->add_option("RRGGBB", colour, "colour in hex")->required();
    keyColour->callback([&] { action = [&] { KeyColour(ctx, key, colour); }; });

    auto* boot = app.add_subcommand("boot-mode", "switch the keyboard to its boot loader for a firmware update");
    boot->add_flag("--yes", yes, "do not ask");
    boot->callback([&] { action = [&] { BootMode(ctx, yes); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A word that is neither a command nor an option: named, rather than
        // reported as a missing command.
        if (e.get_exit_code() != 0 && app.get_subcommands().empty() && !app.remaining().empty()) {
            const std::string word = app.remaining().front();
            err << (word.starts_with('-') ? "unknown option " : "unknown command ") << word
                << "\nRun with --help for more information.\n";
            return kExitUsage;
        }
        const int code = app.exit(e, out, err);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        if (action) action();
        return kExitOk;
    } catch (const Failure& failure) {
        reporter.Say(failure.message);
        return failure.code;
    } catch (const std::exception& e) {
        reporter.Say(std::string("unexpected error: ") + e.what());
        return kExitKeyboard;
    }
}

} // namespace kestrune::cli
