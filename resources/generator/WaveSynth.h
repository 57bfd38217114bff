#pragma once

#include <QByteArray>
#include <vector>

namespace generator {

// A mono sound as floating-point samples in -1..1.
using Samples = std::vector<double>;

// A RIFF/WAVE image of uncompressed mono PCM: the 44-byte canonical header followed
// by the samples, 8-bit unsigned or 16-bit signed little-endian. Samples outside
// -1..1 are clipped. The image size is 44 + samples * bits / 8 bytes.
QByteArray encodeWav(const Samples& samples, int sampleRate, int bitsPerSample);

// The built-in sounds, 22,050 Hz. Their lengths in samples are fixed by the sizes the
// program's resources must have (44 bytes of header, one byte per sample).
Samples messageChime(); // 1,140 samples
Samples joinSound();    // 15,872 samples
Samples leaveSound();   // 9,344 samples

// The default Sounds folder beside the program, 22,050 Hz.
Samples bell();
Samples knock();
Samples whistle();
Samples clap();
Samples fanfare();

} // namespace generator
