// The container corpus: the same known motion, and the same face, in every container and
// encoding the tool is meant to read, made with the ffmpeg CLI at test time. Each file must give
// what the plain MP4 (H.264, no B-frames) of the same content gives: as many frames, at the
// same times on the file's timeline, with the same camera path, and the same faces for `skin`,
// over the whole file and over a range that starts in the middle of a group of pictures.
//
// The timeline the tool follows: MP4, MOV, Matroska, WebM, AVI and raw streams keep the times
// FFmpeg's demuxer gives (edit lists honoured, so an MP4 shifted by `-output_ts_offset 1`
// starts at 1 s); MPEG-TS, MPEG-PS and M2TS start at zero whatever their clock says. A file that
// declares no duration (live WebM, raw streams) is still read to its last frame, and after any
// seek the first frame delivered is the one at or before the requested start.
#include "support/run.h"
#include "track_scenes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using nlohmann::json;

constexpr int kFrames = 100;  // 4 s at 25 fps, a key frame every 2 s where the codec allows
constexpr double kFps = 25;

// The pan: a 320 x 240 window over the astronaut photo enlarged to 768 x 768, moving right
// faster and faster (1 px a frame at the start, 7 px at the end) and 1 px down a frame, so the
// content moves left and up. The speed changes so that a range starting at the wrong frame has
// another path: one frame late, its 25 frames move 1.6 px further. The corner is a whole pixel
// (crop would round a fraction, halves to even) and the window is cut in RGB (cut in 4:2:0,
// crop moves the corner to even pixels).
const char* kPan = "scale=768:768,format=rgb24,crop=320:240:x=20+n+floor(n*n/30):y=200+n";
// The window's corner at frame n.
double panX(int n) { return 20 + n + std::floor(n * n / 30.0); }
double panY(int n) { return 200 + n; }
// The face: Grace Hopper 320 px wide, drifting up a quarter pixel a frame; her face is in every
// frame, so `skin` finds it at each of its 14 grabs.
const char* kFace = "scale=320:-2,format=rgb24,crop=320:240:x=0:y=40+n/4";
constexpr int kSkinGrabs = 14;

// The range in the middle of the first group of pictures (key frames at 0 and 2 s), on the
// timeline of a file whose first frame is at 0: frames 33 (1.32 s) to 57 (2.28 s).
constexpr double kRangeStart = 1.3, kRangeEnd = 2.3;

// Times: every container here stores them exactly (multiples of 40 ms in its time base) and the
// track file has 6 decimals, so a fortieth of a frame is plenty; a lost, doubled or shifted
// frame is off by a whole 40 ms.
constexpr double kTimeTolerance = 0.001;
// The camera path, per sample, against the reference's, in pixels of the clip (either axis).
// Measured over the corpus: at most 0.10 px over the whole file (x264 at 10-bit 4:2:2; x264
// with B-frames in any container 0.09, AV1 0.09, MJPEG 0.08, VP8 and VP9 0.04 to 0.05, HEVC,
// MPEG-4 part 2 and MPEG-2 0.04 to 0.06) and 0.06 px over the range; the reference itself is
// within 0.035 px of the true motion. A lost or doubled frame moves every later sample by a
// whole step, at least 1 px on each axis, and a range starting a frame early or late ends
// 1.6 px off: three times this tolerance and more.
constexpr double kPathPixels = 0.3;

// The variable-rate file drops every ninth frame from the fifth (11 of 100); the others keep
// their times.
bool dropped(int n) { return n % 9 == 4; }

enum Trait : unsigned {
  kPlain = 0,
  kVariable = 1,     // frames dropped, the rest at their original times
  kUndeclared = 2,   // the file declares no duration
  kRotated = 4,      // stored turned, with a display rotation that turns it back
  kIntraOnly = 8,    // every frame a key frame (no group of pictures to start inside of)
};

struct Container {
  const char* name;     // the test's name
  const char* file;     // its extension picks the muxer unless the options name one
  const char* filter;   // after the content: pixel format, turns, dropped frames
  const char* options;  // encoder and muxer
  double first;         // the first frame's time on the tool's timeline
  double clock;         // the first frame's time as FFmpeg's demuxer gives it; NaN: none
  unsigned traits;
  const char* remux;    // options of a second, stream-copying pass; "" for none
};

const double kNone = std::numeric_limits<double>::quiet_NaN();

#define X264 "-c:v libx264 -preset veryfast -crf 16 -g 50 -keyint_min 50 -sc_threshold 0"
#define X265                                                         \
  "-c:v libx265 -preset ultrafast -crf 18 -g 50 -keyint_min 50 " \
  "-x265-params scenecut=0:log-level=error"

// The reference: H.264 without B-frames in MP4, first frame at 0.
const Container kReference{"Reference", "reference.mp4", "format=yuv420p", X264 " -bf 0",
                           0, 0, kPlain, ""};

// An encoder or muxer missing from this ffmpeg fails its case with ffmpeg's message: none is
// skipped.
const Container kCorpus[] = {
    // MP4 and MOV. x264's B-frames put the first frame two frames after the first decoded one;
    // the edit list FFmpeg writes takes that back, and without it the file starts there.
    {"Mp4BFrames", "bframes.mp4", "format=yuv420p", X264, 0, 0, kPlain, ""},
    {"Mp4WithoutEditList", "noeditlist.mp4", "format=yuv420p", X264 " -use_editlist 0", 0.08,
     0.08, kPlain, ""},
    {"Mp4StartingAt1s", "offset.mp4", "format=yuv420p", X264 " -output_ts_offset 1", 1, 1,
     kPlain, ""},
    {"Mov", "h264.mov", "format=yuv420p", X264, 0, 0, kPlain, ""},
    {"Matroska", "h264.mkv", "format=yuv420p", X264, 0, 0, kPlain, ""},
    // Live WebM: no duration and no index. VP8 at a high bit rate: at crf 10 alone its path is
    // 0.3 px off the reference's, at this quality 0.03 px like the others.
    {"WebmVp8Live", "vp8.webm", "format=yuv420p",
     "-c:v libvpx -crf 4 -b:v 4M -deadline realtime -cpu-used 8 -g 50 -keyint_min 50 -live 1",
     0, 0, kUndeclared, ""},
    {"WebmVp9Live", "vp9.webm", "format=yuv420p",
     "-c:v libvpx-vp9 -crf 20 -b:v 0 -deadline realtime -cpu-used 8 -row-mt 1 -g 50 "
     "-keyint_min 50 -live 1",
     0, 0, kUndeclared, ""},
    // Transport and program streams: their clock starts at 1.4 s (plus x264's two frames of
    // delay), 11.4 s and about 0.5 s; the content starts at zero.
    {"MpegTs", "h264.ts", "format=yuv420p", X264, 0, 1.48, kPlain, ""},
    {"MpegTsClockAt10s", "offset.ts", "format=yuv420p", X264 " -output_ts_offset 10", 0, 11.4,
     kPlain, ""},
    {"M2ts", "h264.m2ts", "format=yuv420p", X264 " -f mpegts -mpegts_m2ts_mode 1", 0, 1.48,
     kPlain, ""},
    // MPEG-2 with B-frames in a program stream: some of its packets carry no presentation time,
    // and FFmpeg's demuxer and decoder give the last frame none.
    {"MpegPs", "mpeg2.vob", "format=yuv420p", "-c:v mpeg2video -q:v 2 -bf 2 -g 50 -f vob", 0,
     0.54, kPlain, ""},
    {"AviMpeg4", "mpeg4.avi", "format=yuv420p", "-c:v mpeg4 -q:v 2 -g 50", 0, 0, kPlain, ""},
    {"HevcMp4", "hevc.mp4", "format=yuv420p", X265 " -tag:v hvc1", 0, 0, kPlain, ""},
    // Raw streams: no container, no timestamps and no duration; 25 fps from the stream's timing.
    {"RawHevc", "raw.hevc", "format=yuv420p", X265, 0, kNone, kUndeclared, ""},
    {"RawH264", "raw.h264", "format=yuv420p", X264, 0, kNone, kUndeclared, ""},
    {"Av1Mp4", "av1.mp4", "format=yuv420p",
     "-c:v libaom-av1 -usage realtime -cpu-used 8 -row-mt 1 -crf 30 -b:v 0 -g 50 -keyint_min 50",
     0, 0, kPlain, ""},
    {"H264TenBit422", "10bit422.mp4", "format=yuv422p10le", X264 " -pix_fmt yuv422p10le", 0, 0,
     kPlain, ""},
    {"MjpegMov", "mjpeg.mov", "format=yuvj420p", "-c:v mjpeg -q:v 3", 0, 0, kIntraOnly, ""},
    // The select filter drops the frames dropped() names; -fps_mode vfr keeps the others at
    // their times (by default the MP4 muxer's constant rate would fill the gaps with copies).
    {"VariableFrameRate", "vfr.mp4", "select=not(eq(mod(n\\,9)\\,4)),format=yuv420p",
     X264 " -fps_mode vfr", 0, 0, kVariable, ""},
    // Stored turned 90° clockwise, shown turned back by its display matrix. FFmpeg 5.1 writes
    // the matrix for a `rotate` tag only when copying the stream, hence the second pass (newer
    // FFmpeg has -display_rotation instead). TheFileIsWhatTheCaseSays checks that FFmpeg's own
    // turning gives the reference's frames (46 dB; turned the other way 10 dB).
    {"Rotated", "rotated.mp4", "transpose=1,format=yuv420p", X264 " -bf 0", 0, 0, kRotated,
     "-metadata:s:v:0 rotate=90"},
};

// Test names in gtest's messages.
void PrintTo(const Container& c, std::ostream* out) { *out << c.name; }

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Standard output of a shell command.
std::string capture(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  ::pclose(pipe);
  return text;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The reference frames a container's frames come from, in order; with the range, only those
// with a time in it.
std::vector<int> keptFrames(const Container& c, double from = 0, double to = 1e9) {
  std::vector<int> kept;
  for (int n = 0; n < kFrames; ++n) {
    double t = n / kFps;
    if ((c.traits & kVariable) && dropped(n)) continue;
    if (t >= from - 0.0001 && t < to - 0.0001) kept.push_back(n);
  }
  return kept;
}

// One clip of one container.
struct Encoded {
  std::string path;
  std::string command;
  std::string log;  // ffmpeg's complaints
  bool ok = false;
  std::once_flag made;
};

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

// A container's two clips: the pan and the face.
struct Clips {
  const Encoded& pan;
  const Encoded& face;
};

// Every container's two clips. CTest runs each test in a process of its own, so the clips are
// kept between processes, in a folder of the temporary directory under names that hash
// everything that makes them (ffmpeg's version, the photo, the filters and options): a process
// encodes only what no other did, writes under a name of its own and renames the file into
// place when it is complete, so that processes running side by side never see half a file.
class Corpus {
 public:
  static Corpus& get() {
    static Corpus corpus;
    return corpus;
  }
  // A container's clips, made side by side where no other process made them yet.
  Clips clips(const Container& c) {
    Encoded& pan = clips_.at(c.name + std::string("/pan"));
    Encoded& face = clips_.at(c.name + std::string("/face"));
    std::thread helper([&] { make(face); });
    make(pan);
    helper.join();
    return {pan, face};
  }
  // Why the content cannot be made at all (a package photo missing); empty when it can.
  std::string contentError;
  const std::string scratch = tvtest::scratchDir("containers");  // this process's track files

 private:
  Corpus() {
    const std::string cache =
        (std::filesystem::temp_directory_path() / "tarnel-test-containers").string();
    std::filesystem::create_directories(cache);
    for (const std::string& photo : {std::string(tvtest::kAstronaut), std::string(tvtest::kHopper)})
      if (!std::filesystem::exists(photo)) contentError += photo + " is missing; ";
    std::string version = capture("ffmpeg -version </dev/null 2>&1");
    version = version.substr(0, version.find('\n'));
    std::vector<Container> all{kReference};
    all.insert(all.end(), std::begin(kCorpus), std::end(kCorpus));
    for (const Container& c : all) {
      plan(clips_[c.name + std::string("/pan")], c, cache, version, tvtest::kAstronaut, kPan,
           "pan-");
      plan(clips_[c.name + std::string("/face")], c, cache, version, tvtest::kHopper, kFace,
           "face-");
    }
  }

  static void plan(Encoded& clip, const Container& c, const std::string& cache,
                   const std::string& version, const std::string& photo, const char* content,
                   const std::string& prefix) {
    std::string identity = version + "|" + photo + "|";
    std::error_code error;
    identity += std::to_string(std::filesystem::file_size(photo, error)) + "|";
    identity += std::to_string(
        std::filesystem::last_write_time(photo, error).time_since_epoch().count());
    identity += std::string("|") + content + "|" + c.filter + "|" + c.options + "|" + c.remux;
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(fnv1a(identity)));
    clip.path = cache + "/" + hash + "-" + prefix + c.file;
    // Written under this process's name first (same extension: it picks the muxer).
    const std::string own = cache + "/" + hash + "-" + std::to_string(::getpid()) + "-" + prefix;
    const std::string encoded = own + (*c.remux ? "encoded-" : "") + c.file;
    clip.command = "ffmpeg -v error -y -framerate 25 -loop 1 -t 4 -i " + quote(photo) + " -vf " +
                   quote(std::string(content) + "," + c.filter) + " " + c.options + " " +
                   quote(encoded);
    if (*c.remux) {
      clip.command += " && ffmpeg -v error -y -i " + quote(encoded) + " -c copy " + c.remux +
                      " " + quote(own + c.file) + " && rm -f " + quote(encoded);
    }
    clip.command += " && mv -f " + quote(own + c.file) + " " + quote(clip.path);
  }

  static void make(Encoded& clip) {
    std::call_once(clip.made, [&] {
      if (std::filesystem::exists(clip.path)) {
        clip.ok = true;
        return;
      }
      const std::string log = clip.path + "." + std::to_string(::getpid()) + ".log";
      clip.ok = tvtest::shell("{ " + clip.command + "; } </dev/null 2>" + quote(log)) == 0 &&
                std::filesystem::exists(clip.path);
      clip.log = slurp(log);
      std::filesystem::remove(log);
    });
  }

  std::map<std::string, Encoded> clips_;
};

// A camera track of the file: the done event and the track file, checked for form.
struct Track {
  json done, file;
  std::string last;  // the last line, for messages
};

Track track(const std::string& input, const std::vector<std::string>& range = {}) {
  static int counter = 0;
  const std::string out = Corpus::get().scratch + "/track-" + std::to_string(counter++) + ".json";
  std::vector<std::string> args{"track", "--mode", "camera", "--input", input, "--output", out};
  args.insert(args.end(), range.begin(), range.end());
  tvtest::RunResult run = tvtest::runTool(args);
  Track result;
  result.last = run.lines.empty() ? "(no output)" : run.lines.back();
  json file = tvtest::expectTrack(run, out);
  if (!file.is_object() || !file["samples"].is_array()) return result;
  result.done = run.last();
  result.file = file;
  EXPECT_EQ(result.done["seen"], result.done["frames"]) << input << ": " << result.last;
  return result;
}

// The face count of a skin run's last line; -1 without one.
int faces(const json& done) { return done.is_object() ? done.value("faces", -1) : -1; }

// The reference's tracks and face count, once.
struct ReferenceRuns {
  Track whole, range;
  json skin;
};

const ReferenceRuns& reference() {
  static const ReferenceRuns runs = [] {
    ReferenceRuns r;
    const Clips clips = Corpus::get().clips(kReference);
    r.whole = track(clips.pan.path);
    r.range = track(clips.pan.path, {"--start", std::to_string(kRangeStart), "--end",
                                     std::to_string(kRangeEnd)});
    r.skin = tvtest::runTool({"skin", "--input", clips.face.path}).last();
    return r;
  }();
  return runs;
}

// Compares a track with the reference's, whose first sample is its frame `keptBase`: sample k
// of `got` must be reference frame kept[k]. The first sample must be at that frame's time on
// the container's timeline (its first frame at `first`); the others as far after it as in the
// reference, and every sample at the same place within kPathPixels. The start and the pacing
// are checked apart, so that a wrong origin and a lost frame give messages of their own.
void expectSameTrack(const std::string& what, const Track& got, const Track& want,
                     const std::vector<int>& kept, int keptBase, double first) {
  ASSERT_TRUE(got.file.is_object()) << what << ": " << got.last;
  ASSERT_TRUE(want.file.is_object()) << what << ": the reference failed: " << want.last;
  const json& samples = got.file["samples"];
  const json& expected = want.file["samples"];
  ASSERT_EQ(samples.size(), kept.size())
      << what << ": frames from " << (samples.empty() ? json() : samples.front()[0]) << " to "
      << (samples.empty() ? json() : samples.back()[0]) << " s; " << got.last;

  ASSERT_FALSE(samples.empty()) << what;
  EXPECT_NEAR(samples.front()[0].get<double>(), first + kept.front() / kFps, kTimeTolerance)
      << what << ": the first frame's time on the file's timeline";

  const double origin = samples.front()[0].get<double>();
  const double referenceOrigin = expected[kept.front() - keptBase][0].get<double>();
  double worstTime = 0, worstPath = 0;
  size_t worstTimeAt = 0, worstPathAt = 0;
  for (size_t k = 0; k < samples.size(); ++k) {
    const json& s = samples[k];
    const json& r = expected[kept[k] - keptBase];
    double dt = std::abs((s[0].get<double>() - origin) - (r[0].get<double>() - referenceOrigin));
    double dx = (s[1].get<double>() - r[1].get<double>()) * 320;
    double dy = (s[2].get<double>() - r[2].get<double>()) * 240;
    double dp = std::max(std::abs(dx), std::abs(dy));
    if (dt > worstTime) worstTime = dt, worstTimeAt = k;
    if (dp > worstPath) worstPath = dp, worstPathAt = k;
  }
  EXPECT_LT(worstTime, kTimeTolerance)
      << what << ": frame " << worstTimeAt << " at " << samples[worstTimeAt][0]
      << " s, the reference's frame " << kept[worstTimeAt] << " at "
      << expected[kept[worstTimeAt] - keptBase][0] << " s, after first frames at " << origin
      << " and " << referenceOrigin << " s";
  EXPECT_LT(worstPath, kPathPixels)
      << what << ": camera path " << worstPath << " px off the reference's at frame "
      << worstPathAt << " (" << samples[worstPathAt] << " against "
      << expected[kept[worstPathAt] - keptBase] << ")";

  // The end is one frame after the last; the rate is the file's (the variable-rate file's
  // average rate is its own business).
  const double fps = got.file["fps"].get<double>();
  EXPECT_GT(fps, 0) << what;
  EXPECT_NEAR(got.done["end"].get<double>(), samples.back()[0].get<double>() + 1 / fps, 1e-6)
      << what << ": fps " << fps << ", last frame at " << samples.back()[0];
  EXPECT_NEAR(got.done["start"].get<double>(), samples.front()[0].get<double>(), 1e-6) << what;
  std::printf("%-40s %3zu frames %.6f .. %.6f s, path within %.3f px, last x %.4f\n",
              what.c_str(), samples.size(), samples.front()[0].get<double>(),
              samples.back()[0].get<double>(), worstPath, samples.back()[1].get<double>());
}

// What ffprobe says about a file's video: its frames in presentation order (time or NaN, and
// whether a key frame), its declared duration, its stored size.
struct Probe {
  std::vector<std::pair<double, bool>> frames;
  bool declaresDuration = false;
  int width = 0, height = 0;
  std::string text;
};

Probe probe(const std::string& path) {
  Probe p;
  p.text = capture("ffprobe -v error -select_streams v:0 -show_entries "
                   "frame=key_frame,best_effort_timestamp_time:format=duration:stream=width,height"
                   " -of json " +
                   quote(path) + " </dev/null");
  json info = json::parse(p.text, nullptr, false);
  if (!info.is_object()) return p;
  for (const json& f : info.value("frames", json::array())) {
    double t = kNone;
    if (f.contains("best_effort_timestamp_time"))
      t = std::stod(f["best_effort_timestamp_time"].get<std::string>());
    p.frames.emplace_back(t, f.value("key_frame", 0) == 1);
  }
  p.declaresDuration = info.contains("format") && info["format"].contains("duration");
  if (info.contains("streams") && !info["streams"].empty()) {
    p.width = info["streams"][0].value("width", 0);
    p.height = info["streams"][0].value("height", 0);
  }
  return p;
}

// The luma PSNR of FFmpeg's upright frames of `path` against the reference's.
double uprightPsnr(const std::string& path, const std::string& referencePath) {
  std::string text = capture("ffmpeg -hide_banner -nostats -i " + quote(path) + " -i " +
                             quote(referencePath) + " -lavfi psnr -f null - </dev/null 2>&1");
  size_t at = text.find("PSNR y:");
  if (at == std::string::npos) return 0;
  return std::atof(text.c_str() + at + 7);
}

#define REQUIRE_CLIP(encoded)                                                            \
  do {                                                                                   \
    ASSERT_TRUE(Corpus::get().contentError.empty()) << Corpus::get().contentError;       \
    ASSERT_TRUE((encoded).ok) << "ffmpeg could not make " << (encoded).path << "\n"      \
                              << (encoded).command << "\n"                               \
                              << (encoded).log;                                          \
  } while (false)

class ContainersCorpus : public ::testing::TestWithParam<Container> {
 protected:
  // Every container encoded once (two at a time), before the first case.
  static void SetUpTestSuite() { Corpus::get(); }
};

// The file is what the case says it is: all its frames, its first time as the demuxer gives
// it, one key frame in the first two seconds (so the range starts inside a group of pictures),
// no duration where there should be none, and upright frames equal to the reference's where it
// is stored turned. Without this, a broken fixture could pass for a working tool.
TEST_P(ContainersCorpus, TheFileIsWhatTheCaseSays) {
  const Container& c = GetParam();
  const Clips clips = Corpus::get().clips(c);
  REQUIRE_CLIP(clips.pan);
  REQUIRE_CLIP(clips.face);
  Probe p = probe(clips.pan.path);
  ASSERT_EQ(p.frames.size(), keptFrames(c).size()) << c.name << ": " << p.text.substr(0, 400);
  if (std::isnan(c.clock)) {
    EXPECT_TRUE(std::isnan(p.frames.front().first)) << c.name << ": " << p.frames.front().first;
  } else {
    EXPECT_NEAR(p.frames.front().first, c.clock, kTimeTolerance) << c.name;
  }
  if (!(c.traits & kIntraOnly)) {
    int keys = 0;
    for (size_t k = 0; k < 34 && k < p.frames.size(); ++k) keys += p.frames[k].second;
    EXPECT_EQ(keys, 1) << c.name << ": key frames in the first 34";
  }
  EXPECT_EQ(p.declaresDuration, !(c.traits & kUndeclared)) << c.name;
  if (c.traits & kRotated) {
    EXPECT_EQ(p.width, 240) << c.name;
    EXPECT_EQ(p.height, 320) << c.name;
    // The same frames as the reference's to coding noise (about 46 dB); turned the wrong way or
    // not at all they would not even have the same size, or share nothing (under 10 dB).
    const std::string ref = Corpus::get().clips(kReference).pan.path;
    EXPECT_GT(uprightPsnr(clips.pan.path, ref), 40) << c.name;
  }
}

// The default range: every frame, at the reference's times after the first, with the same path.
TEST_P(ContainersCorpus, WholeFileGivesTheReferenceFramesAndPath) {
  const Container& c = GetParam();
  const Clips clips = Corpus::get().clips(c);
  REQUIRE_CLIP(clips.pan);
  Track got = track(clips.pan.path);
  const std::vector<int> kept = keptFrames(c);
  expectSameTrack(std::string(c.name) + " whole", got, reference().whole, kept, 0, c.first);
  if (got.file.is_object() && !(c.traits & kVariable)) {
    EXPECT_NEAR(got.file["fps"].get<double>(), kFps, 1e-6) << c.name;
  }
}

// A range starting in the middle of the first group of pictures and ending in the second: the
// frames shown in [start, end) on the file's timeline, the first at 1.32 s after its first frame.
TEST_P(ContainersCorpus, RangeInsideAGroupOfPicturesGivesExactlyItsFrames) {
  const Container& c = GetParam();
  const Clips clips = Corpus::get().clips(c);
  REQUIRE_CLIP(clips.pan);
  Track got = track(clips.pan.path, {"--start", std::to_string(c.first + kRangeStart), "--end",
                                     std::to_string(c.first + kRangeEnd)});
  const std::vector<int> kept = keptFrames(c, kRangeStart, kRangeEnd);
  // The reference's range track starts at its frame 33.
  const int base = keptFrames(kReference, kRangeStart, kRangeEnd).front();
  expectSameTrack(std::string(c.name) + " " + std::to_string(c.first + kRangeStart) + " .. " +
                      std::to_string(c.first + kRangeEnd),
                  got, reference().range, kept, base, c.first);
}

// `skin` grabs the centres of 14 slices of the file: in every container each of them shows the
// face.
TEST_P(ContainersCorpus, SkinFindsTheFaceAtEveryGrab) {
  const Container& c = GetParam();
  const Clips clips = Corpus::get().clips(c);
  REQUIRE_CLIP(clips.face);
  ASSERT_EQ(faces(reference().skin), kSkinGrabs) << reference().skin;
  tvtest::RunResult run = tvtest::runTool({"skin", "--input", clips.face.path});
  EXPECT_EQ(run.errors, "") << c.name;
  EXPECT_EQ(run.status, 0) << c.name << ": " << (run.lines.empty() ? "" : run.lines.back());
  json done = run.last();
  ASSERT_TRUE(done.is_object()) << c.name;
  EXPECT_EQ(faces(done), kSkinGrabs) << c.name << ": " << done;
}

INSTANTIATE_TEST_SUITE_P(Containers, ContainersCorpus, ::testing::ValuesIn(kCorpus),
                         [](const ::testing::TestParamInfo<Container>& info) {
                           return std::string(info.param.name);
                         });

// The reference itself: every frame at n / 25 s, following the true motion, and a face at every
// grab; the other cases are only as good as it is.
TEST(ContainersReference, FollowsTheKnownMotionAtExactTimes) {
  const Clips clips = Corpus::get().clips(kReference);
  REQUIRE_CLIP(clips.pan);
  const Track& whole = reference().whole;
  ASSERT_TRUE(whole.file.is_object()) << whole.last;
  const json& samples = whole.file["samples"];
  ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames)) << whole.last;
  EXPECT_EQ(samples[0], json::parse("[0,0.5,0.5,1,1,1]"));
  EXPECT_NEAR(whole.file["fps"].get<double>(), kFps, 1e-9);
  double worst = 0;
  for (int n = 0; n < kFrames; ++n) {
    EXPECT_NEAR(samples[n][0].get<double>(), n / kFps, 1e-6) << n;
    double ex = (samples[n][1].get<double>() - (0.5 - (panX(n) - panX(0)) / 320)) * 320;
    double ey = (samples[n][2].get<double>() - (0.5 - (panY(n) - panY(0)) / 240)) * 240;
    worst = std::max({worst, std::abs(ex), std::abs(ey)});
  }
  std::printf("reference: path within %.3f px of the true motion\n", worst);
  EXPECT_LT(worst, kPathPixels) << "the reference's path against the true motion";
  EXPECT_NEAR(whole.done["end"].get<double>(), kFrames / kFps, 1e-6);

  // The range: frames 33 to 57, its path starting afresh at the centre.
  const Track& range = reference().range;
  ASSERT_TRUE(range.file.is_object()) << range.last;
  const json& part = range.file["samples"];
  ASSERT_EQ(part.size(), 25u) << range.last;
  for (size_t k = 0; k < part.size(); ++k)
    EXPECT_NEAR(part[k][0].get<double>(), (33 + k) / kFps, 1e-6) << k;
  EXPECT_EQ(part[0], json::parse("[1.32,0.5,0.5,1,1,1]"));
  EXPECT_NEAR(range.done["end"].get<double>(), 2.32, 1e-6);
}

TEST(ContainersReference, SkinFindsTheFaceAtEveryGrab) {
  const Clips clips = Corpus::get().clips(kReference);
  REQUIRE_CLIP(clips.face);
  EXPECT_EQ(faces(reference().skin), kSkinGrabs) << reference().skin;
}

}  // namespace
