#pragma once

#include "status.h"

// MP3 import and export around the codec libraries.
namespace tolva {

// Decodes audio/res.mp3 (which = 0) or audio/res1.mp3 (any other value) into
// audio/res.wav or audio/res1.wav: a 44-byte-header 16-bit PCM WAV with the
// stream's channels and rate. Fails, writing nothing, when the source holds no
// MP3 audio.
Status Converter(int which);

// Encodes the working file audio/output.wav into audio/output.mp3. The MP3
// appears only when it is complete; on failure a previous one stays as it was.
Status transformer();

}  // namespace tolva
