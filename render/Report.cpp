// SPDX-License-Identifier: MIT

#include "render/Report.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace tarvio::render {

namespace {

std::string shortSeconds(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

}  // namespace

std::string decibels(double peak) {
    if (!(peak > 0))
        return "-inf dBFS";
    if (std::isinf(peak))
        return "+inf dBFS";
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << 20.0 * std::log10(peak) << " dBFS";
    return s.str();
}

// Said on standard error even with --quiet, as sox does: clipping and
// samples that are not a number change the sound, and a summary nobody
// reads would hide them.
void warnOfClipping(std::ostream& err, const AudioOutput& audio) {
    if (audio.notANumber() > 0)
        err << "tarvio-render: warning: " << audio.notANumber()
            << (audio.notANumber() == 1 ? " sample" : " samples") << " not a number, written as 0"
            << std::endl;
    if (audio.clipped() == 0)
        return;
    std::string peak = decibels(audio.peak());
    if (audio.peak() >= 1.0 && peak[0] != '+')
        peak = "+" + peak;
    err << "tarvio-render: warning: " << audio.clipped()
        << (audio.clipped() == 1 ? " sample" : " samples") << " clipped (peak " << peak
        << "); lower --norm or use --normalize" << std::endl;
}

// A mixdown that cancels is as good as silence and changes the sound as
// much as clipping does: said even with --quiet too.
void warnOfMixdown(std::ostream& err, const std::string& name, const MixdownMeter& meter) {
    const std::optional<double> loss = meter.lossDb();
    if (!loss || !(*loss > kMixdownLossDb))
        return;
    err << "tarvio-render: warning: " << name << ": the mixdown ";
    if (std::isinf(*loss))
        err << "is silent although its channels are not";
    else
        err << "is " << std::fixed << std::setprecision(1) << *loss << " dB below its channels";
    err << " (opposite phases?); --channels keep keeps them apart" << std::endl;
    err.unsetf(std::ios::floatfield);
}

void printSource(std::ostream& out, const std::string& name, const AudioInput& input,
                 const SourceReader& reader, int rate, double start, double gainDb) {
    out << name << ": " << input.description() << ", " << input.channels()
        << (input.channels() == 1 ? " channel, " : " channels, ") << input.rate() << " Hz, "
        << input.frames() << " frames";
    if (reader.resampled())
        out << ", resampled to " << rate << " Hz: " << reader.frames() << " frames";
    if (start != 0.0)
        out << ", from " << shortSeconds(start) << " s";
    if (gainDb != 0.0)
        out << ", gain " << std::showpos << std::fixed << std::setprecision(2) << gainDb
            << std::noshowpos << " dB";
    out.unsetf(std::ios::floatfield);
    out << "\n";
}

void printOutput(std::ostream& out, const Options& o, int channels, std::int64_t frames) {
    out << "output:   " << (o.output == "-" ? "standard output" : o.output) << ": "
        << o.format->summary << ", " << o.samples->summary << (*o.dither ? " (TPDF dither)" : "")
        << ", " << channels << " channels, " << frames << " frames";
}

void printLevel(std::ostream& out, const Options& o, const LevelNote& level) {
    if (o.gainDb == 0.0 && !o.normalizeTo && !o.loudnessTo)
        return;
    out << "gain:     " << std::showpos << std::fixed << std::setprecision(2)
        << 20.0 * std::log10(level.scale) << std::noshowpos << " dB";
    if (o.normalizeTo)
        out << " (peak to " << shortNumber(*o.normalizeTo) << " dBFS)";
    if (o.loudnessTo)
        out << " (loudness to " << shortNumber(*o.loudnessTo) << " LUFS)";
    out << "\n";
    if (level.loudness)
        out << "loudness: " << std::fixed << std::setprecision(1) << level.loudness->integrated()
            << " LUFS\n";
    out.unsetf(std::ios::floatfield);
}

}  // namespace tarvio::render
