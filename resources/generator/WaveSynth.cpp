#include "WaveSynth.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <numbers>

namespace generator {
namespace {

constexpr double kRate = 22050.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

qsizetype samplesFor(double seconds) {
    return static_cast<qsizetype>(std::lround(seconds * kRate));
}

struct Partial {
    double ratio;     // frequency relative to the note
    double amplitude; // relative to the note
    double decay;     // seconds to fall to 1/e; 0 keeps the note's own envelope
};

// A struck note: a short raised-cosine attack, then an exponential ring. Every
// partial starts at phase 0, so the note starts without a step.
void addStruck(Samples& out, double start, double frequency, double amplitude, double attack, double decay,
               std::initializer_list<Partial> partials) {
    const qsizetype first = samplesFor(start);
    for (qsizetype i = first; i < static_cast<qsizetype>(out.size()); ++i) {
        const double t = static_cast<double>(i - first) / kRate;
        const double rise = t < attack ? 0.5 - 0.5 * std::cos(std::numbers::pi * t / attack) : 1.0;
        double value = 0.0;
        for (const Partial& p : partials) {
            const double tau = p.decay > 0.0 ? p.decay : decay;
            value += p.amplitude * std::exp(-t / tau) * std::sin(kTwoPi * frequency * p.ratio * t);
        }
        out[static_cast<size_t>(i)] += amplitude * rise * value;
    }
}

// A held note: attack, a gently sagging sustain and a raised-cosine release inside
// the note's own length.
void addHeld(Samples& out, double start, double length, double frequency, double amplitude,
             std::initializer_list<double> harmonics) {
    const double attack = 0.015;
    const double release = std::min(0.05, length / 3.0);
    const qsizetype first = samplesFor(start);
    const qsizetype count = samplesFor(length);
    for (qsizetype n = 0; n < count && first + n < static_cast<qsizetype>(out.size()); ++n) {
        const double t = static_cast<double>(n) / kRate;
        double env = 1.0 - 0.25 * t / length;
        if (t < attack)
            env *= 0.5 - 0.5 * std::cos(std::numbers::pi * t / attack);
        if (t > length - release)
            env *= 0.5 + 0.5 * std::cos(std::numbers::pi * (t - (length - release)) / release);
        // A slight vibrato that grows into the note keeps it from sounding like a test tone.
        const double vibrato = 1.0 + 0.004 * std::min(1.0, t / 0.2) * std::sin(kTwoPi * 5.5 * t);
        double value = 0.0;
        int k = 1;
        for (double h : harmonics) {
            value += h * std::sin(kTwoPi * frequency * k * t * vibrato);
            ++k;
        }
        out[static_cast<size_t>(first + n)] += amplitude * env * value;
    }
}

// Raised-cosine fades at both ends, so the sound begins and ends at silence.
void fadeEdges(Samples& s, double fadeIn, double fadeOut) {
    const auto n = static_cast<qsizetype>(s.size());
    const qsizetype in = std::min(n, samplesFor(fadeIn));
    const qsizetype out = std::min(n, samplesFor(fadeOut));
    for (qsizetype i = 0; i < in; ++i)
        s[static_cast<size_t>(i)] *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / in);
    for (qsizetype i = 0; i < out; ++i)
        s[static_cast<size_t>(n - 1 - i)] *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / out);
}

void normalise(Samples& s, double peak) {
    double max = 0.0;
    for (double v : s)
        max = std::max(max, std::abs(v));
    if (max > 0.0)
        for (double& v : s)
            v *= peak / max;
}

// A fixed linear congruential generator: the noise, and so the files, are the same
// on every run.
class Noise {
public:
    double next() {
        m_state = m_state * 1664525u + 1013904223u;
        return static_cast<double>(m_state >> 8) / 8388608.0 - 1.0;
    }

private:
    std::uint32_t m_state = 0x4d69726cu;
};

} // namespace

QByteArray encodeWav(const Samples& samples, int sampleRate, int bitsPerSample) {
    const int bytesPerSample = bitsPerSample / 8;
    const auto dataBytes = static_cast<quint32>(samples.size() * static_cast<size_t>(bytesPerSample));
    QByteArray image;
    image.reserve(44 + static_cast<qsizetype>(dataBytes));
    auto put16 = [&image](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        image.append(b, 2);
    };
    auto put32 = [&image](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        image.append(b, 4);
    };
    image.append("RIFF", 4);
    put32(36 + dataBytes);
    image.append("WAVEfmt ", 8);
    put32(16);
    put16(1); // uncompressed PCM
    put16(1); // mono
    put32(static_cast<quint32>(sampleRate));
    put32(static_cast<quint32>(sampleRate * bytesPerSample));
    put16(static_cast<quint16>(bytesPerSample));
    put16(static_cast<quint16>(bitsPerSample));
    image.append("data", 4);
    put32(dataBytes);
    for (double v : samples) {
        const double x = std::clamp(v, -1.0, 1.0);
        if (bitsPerSample == 8) {
            image.append(static_cast<char>(std::lround(128.0 + 127.0 * x)));
        } else {
            put16(static_cast<quint16>(static_cast<qint16>(std::lround(32767.0 * x))));
        }
    }
    return image;
}

Samples messageChime() {
    // A short, bright "pip": two partials a fifth apart that die away within the
    // 52 ms the sound lasts.
    Samples s(1140, 0.0);
    addStruck(s, 0.0, 1568.0, 1.0, 0.003, 0.016, {{1.0, 1.0, 0.0}, {1.5, 0.45, 0.010}, {2.0, 0.15, 0.006}});
    fadeEdges(s, 0.0, 0.008);
    normalise(s, 0.75);
    return s;
}

Samples joinSound() {
    // A rising major arpeggio, C5 E5 G5 C6, ringing into each other.
    Samples s(15872, 0.0);
    const double notes[] = {523.25, 659.26, 783.99, 1046.50};
    for (int i = 0; i < 4; ++i)
        addStruck(s, 0.11 * i, notes[i], 1.0, 0.006, 0.16 + 0.05 * i,
                  {{1.0, 1.0, 0.0}, {2.0, 0.3, 0.08}, {3.0, 0.12, 0.05}});
    fadeEdges(s, 0.0, 0.06);
    normalise(s, 0.7);
    return s;
}

Samples leaveSound() {
    // The same voice falling: G5 E5 C5, a little softer.
    Samples s(9344, 0.0);
    const double notes[] = {783.99, 659.26, 523.25};
    for (int i = 0; i < 3; ++i)
        addStruck(s, 0.09 * i, notes[i], 1.0, 0.006, 0.12, {{1.0, 1.0, 0.0}, {2.0, 0.25, 0.06}, {3.0, 0.08, 0.04}});
    fadeEdges(s, 0.0, 0.05);
    normalise(s, 0.6);
    return s;
}

Samples bell() {
    // Inharmonic partials of a small hand bell, the higher ones dying first.
    Samples s(static_cast<size_t>(samplesFor(1.2)), 0.0);
    addStruck(s, 0.0, 880.0, 1.0, 0.002, 0.6,
              {{0.5, 0.35, 0.9},
               {1.0, 1.0, 0.6},
               {1.19, 0.55, 0.45},
               {1.5, 0.45, 0.35},
               {2.0, 0.4, 0.3},
               {2.52, 0.25, 0.2},
               {2.66, 0.2, 0.15},
               {3.76, 0.1, 0.08}});
    fadeEdges(s, 0.0, 0.2);
    normalise(s, 0.8);
    return s;
}

Samples knock() {
    // Two knocks on wood: a low thump whose pitch drops, plus a click of dull noise.
    Samples s(static_cast<size_t>(samplesFor(0.4)), 0.0);
    Noise noise;
    for (const auto& [start, gain] : {std::pair{0.0, 1.0}, std::pair{0.17, 0.8}}) {
        const qsizetype first = samplesFor(start);
        double phase = 0.0;
        double low = 0.0;
        for (qsizetype i = first; i < static_cast<qsizetype>(s.size()); ++i) {
            const double t = static_cast<double>(i - first) / kRate;
            const double f = 140.0 + 120.0 * std::exp(-t / 0.01);
            phase += kTwoPi * f / kRate;
            low += 0.35 * (noise.next() - low);
            const double rise = t < 0.001 ? t / 0.001 : 1.0;
            s[static_cast<size_t>(i)] +=
                gain * rise * (std::sin(phase) * std::exp(-t / 0.03) + 0.8 * low * std::exp(-t / 0.005));
        }
    }
    fadeEdges(s, 0.0, 0.05);
    normalise(s, 0.85);
    return s;
}

Samples whistle() {
    // A slide whistle: up, a little trill at the top, and down again.
    const double length = 0.7;
    Samples s(static_cast<size_t>(samplesFor(length)), 0.0);
    double phase = 0.0;
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double shape = std::sin(std::numbers::pi * t / length);
        const double f = 1100.0 + 900.0 * shape + 40.0 * std::sin(kTwoPi * 7.0 * t);
        phase += kTwoPi * f / kRate;
        s[i] = std::sin(phase) + 0.08 * std::sin(2.0 * phase);
    }
    fadeEdges(s, 0.03, 0.08);
    normalise(s, 0.6);
    return s;
}

Samples clap() {
    // Hand clap: three quick bursts of bright noise, then the main one ringing out.
    Samples s(static_cast<size_t>(samplesFor(0.3)), 0.0);
    Noise noise;
    double previous = 0.0;
    double band = 0.0;
    for (size_t i = 0; i < s.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double white = noise.next();
        const double high = white - previous; // takes the rumble out
        previous = white;
        band += 0.5 * (high - band); // and the hiss
        double env = std::exp(-t / 0.045) * (t >= 0.022 ? 1.0 : 0.0);
        for (double burst : {0.0, 0.008, 0.015})
            if (t >= burst)
                env += 0.6 * std::exp(-(t - burst) / 0.003);
        s[i] = band * env;
    }
    fadeEdges(s, 0.0005, 0.05);
    normalise(s, 0.85);
    return s;
}

Samples fanfare() {
    // A short brass call: G4 C5 E5, then G5 held.
    Samples s(static_cast<size_t>(samplesFor(1.05)), 0.0);
    const std::initializer_list<double> brass = {1.0, 0.7, 0.5, 0.35, 0.22, 0.14, 0.08};
    addHeld(s, 0.00, 0.12, 392.00, 1.0, brass);
    addHeld(s, 0.13, 0.12, 523.25, 1.0, brass);
    addHeld(s, 0.26, 0.12, 659.26, 1.0, brass);
    addHeld(s, 0.39, 0.62, 783.99, 1.0, brass);
    fadeEdges(s, 0.0, 0.04);
    normalise(s, 0.7);
    return s;
}

} // namespace generator
