// SPDX-License-Identifier: MIT
// A scene: the sources a run mixes, each with its input, where it goes, its
// gain and its start. The command line describes a scene of one source; a
// TOML file (--scene) describes one or more, and the settings the command
// line also sets:
//
//   layout = "ring:8"          # any option of the Levels, Rig and Audio
//   loudness = -23             # file groups, and trace-step, by its name
//   [[source]]
//   input = "voice.wav"        # relative to the scene file
//   rot1 = "0.1:0.3"           # the Motion group's options, by their names
//   gain = -3                  # dB
//   start = 2.0                # seconds into the scene
//   [[source]]
//   input = "pad.flac"
//   orbit = 0.25               # or azimuth and distance for a still source
//   distance = 2
//   channels = "keep"          # each channel a source, spread over width
//   width = 60
//
// Values are what the option takes, as a TOML number or string (rot1 =
// 0.25 or rot1 = "0.25:1"); flags take true or false.
#ifndef TARVIO_RENDER_SCENE_H
#define TARVIO_RENDER_SCENE_H

#include <cstddef>
#include <string>
#include <vector>

#include "render/Options.h"

namespace tarvio::render {

// One source of a scene.
struct SourceEntry {
    std::string input;  // the file the readers open
    std::string name;   // as the user wrote it: for the summary and the picture
    SourceOptions place;
    double gainDb = 0.0;
    double start = 0.0;  // seconds into the scene
};

struct Scene {
    std::string file;                 // the scene file; empty for the command line's scene
    std::vector<SourceEntry> sources;  // at least one
};

// The largest scene file read, and the most sources one may hold (each
// keeps its input open while the scene renders).
constexpr std::size_t kMaxSceneBytes = 1 << 20;
constexpr std::size_t kMaxSources = 256;
// The latest start a source may have, in seconds (about 115 days).
constexpr double kMaxStart = 1e7;

// The command line's one source, at the start, at its level.
Scene commandLineScene(const Options& o);

// Reads the scene file o.sceneFile: its [[source]] tables, and its global
// keys into `o` where the command line did not set the same option; then
// settles `o` (see settleOptions). A file or a path named in the scene is
// taken relative to the scene file's folder. Throws std::runtime_error
// "FILE: line N: source K: KEY: cause" for a malformed scene (a key it does
// not know, a value its option refuses, motions that exclude each other),
// and UsageError for options that do not go together once the scene's are
// added.
Scene loadScene(Options& o);

}  // namespace tarvio::render

#endif  // TARVIO_RENDER_SCENE_H
