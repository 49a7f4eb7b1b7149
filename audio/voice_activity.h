#pragma once
// Whether a recorded message holds anything of the caller: voice activity judged on 20 ms
// frames, each frame's energy against a noise floor that follows the line's own noise.

#include <cstdint>
#include <string>
#include <vector>

namespace voice_activity {

struct Verdict {
    size_t voicedFrames = 0;   // frames of sound above the noise before the hang-up sound
    double judgedSeconds = 0;  // the recording up to the hang-up sound at its end
    bool worthKeeping = false;
};

// Whether the recording may still end with the sound that ended the call, or the line has
// already cut that sound off, so that all of it is the caller's.
enum class Ending { MayHoldHangupSound, CallersOwn };

// `samples` at 8000 Hz. The sound that ends a call (an exchange tone, silence) trails the
// caller's part; where it may still be there, it is told apart as one steady pitch, with
// quiet between, up to the end.
Verdict Judge(const std::vector<int16_t>& samples, Ending ending);
// The same for a 16-bit mono PCM WAV file; a file that cannot be read counts as worth keeping,
// so that nothing the program cannot judge is ever deleted.
Verdict JudgeFile(const std::string& path, Ending ending);

}  // namespace voice_activity
