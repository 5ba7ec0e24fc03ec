// Seeking that never skips: after a seek, decoding must start at a key frame shown at or before
// the wanted time. MP4 and Matroska land there by their index; MPEG-TS and MPEG-PS land near
// the time by bisecting the file, often after the key frame the wanted frame needs, and a
// decoder started there shows nothing until the next key frame.
#pragma once

#include "media/ffmpeg.h"

#include <deque>
#include <optional>

namespace tv {

// Where a seek left the demuxer.
struct Landing {
  bool fromStart = false;           // it reads the file from its beginning
  std::optional<double> keyTime;    // when the key frame decoding starts at is shown (file clock), if known
  std::deque<PacketPtr> packets;    // of the stream, read while looking: the decoder gets them first
};

// Seeks the stream `track` so that its first packet to decode is a key frame shown at or before
// `fileSeconds` (the file's own clock, origin not taken off). Where the index lands later, the
// seek is tried again further back (1, 2, 4 ... seconds), and as a last resort the file is read
// from its beginning. Packets of other streams read on the way are dropped.
Landing seekToKeyAtOrBefore(AVFormatContext* format, int track, double fileSeconds);

// Back to the beginning of the file: by time, or by its first byte when it has no timestamps to
// seek by. False when neither works.
bool rewindToStart(AVFormatContext* format);

}  // namespace tv
