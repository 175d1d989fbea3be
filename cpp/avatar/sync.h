// Playback-synchronised release of pictures: when a frame's picture may
// leave, given how much audio the listener's sink still holds.
//
// Pure arithmetic, no Python: the output iterator reads the sink and the
// monotonic clock and hands the numbers here.
#pragma once

namespace halvane::avatar {

// Seconds of audio a sink reports as queued and not yet played, as the sync
// mode counts it: a negative, NaN or infinite reading counts as none.
double queued_seconds(double reading);

// Monotonic time at which the picture of a frame is due, when the frame's
// voice (`samples` at `rate` Hz) is the last audio of the `queued_s` seconds
// the sink holds at `now`: the voice starts playing after queued_s - its own
// duration (never before now), and the picture leaves `lead_s` earlier.
// Throws ZeroDivisionError for a rate of 0.
double picture_release_time(double now, double queued_s, long samples, double rate, double lead_s);

}  // namespace halvane::avatar
