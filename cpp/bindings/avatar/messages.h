// The texts the live interface (halvane._avatar) shows a user, in one place:
// the messages of the errors it raises and the format strings of the
// warnings it logs on the "halvane" logger (%-style, filled by the logger
// with the arguments the caller passes). Each is written here once, byte for
// byte as the user reads it; a text put together from parts has its head
// here.
//
// Threading: constants; any thread.
#pragma once

namespace halvane::avatar::py::msg {

// --- errors ---
inline constexpr const char* kModelPathRequired = "AsyncAvatar.create: model_path is required";
inline constexpr const char* kModelNotFound = "Ostrel model not found: ";  // + the path
inline constexpr const char* kNoFixture = "AsyncAvatar: no fixture loaded. Call create(model_path=...).";
inline constexpr const char* kFixtureNotLoaded = "Fixture not loaded; await create() first.";
inline constexpr const char* kOtherLoop =
    "AsyncAvatar: this session is in use on another event loop, which is still running; use it from that loop "
    "only, or create a session for this one";
inline constexpr const char* kBadOutputSize =  // the largest side (%lld), the size given (%R)
    "output_size must be None or (width, height), two whole numbers from 1 to %lld, not %R";
inline constexpr const char* kBadSink =  // + the sink's type name
    "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, its AVSynchronizer, "
    "an rtc.AudioSource or a function returning the seconds of audio queued; got ";

// --- warnings ---
inline constexpr const char* kNoFrameNoModel =
    "halvane: no first frame \u2014 no model is loaded (await AsyncAvatar.create(model_path=...))";
inline constexpr const char* kNoFrameNoSize =  // error type, error
    "halvane: no first frame \u2014 this model cannot say how big a frame is (%s: %s)";
inline constexpr const char* kBlankGeometry =  // seconds waited, width, height
    "halvane: the engine produced no resting frame in %.1fs; reporting this model's own %dx%d geometry with a "
    "blank frame so the session can still start";
inline constexpr const char* kNoFrameBadSize =  // width, height
    "halvane: no first frame \u2014 this model reports a %dx%d frame size";
inline constexpr const char* kNoRestingFrame =  // seconds waited, error type, error
    "halvane: the engine had no resting frame after %.1fs (%s: %s)";
inline constexpr const char* kResetFailed =  // error type, error
    "halvane: could not reset the engine between utterances (%s: %s)";
inline constexpr const char* kReleaseFailed =  // error type, error
    "halvane: releasing the engine failed (%s: %s)";

}  // namespace halvane::avatar::py::msg
