// The general path of the export: containers other than plain ISO base media / QuickTime files
// (AVI, Matroska, fragmented MP4, anything else libavformat opens) stream-copied through
// libavformat into an MPEG-4 file.
#pragma once

#include "media/base/export_job.h"
#include "media/files/locked_clip.h"

namespace kelvatta {

// Same contract as runExport (which has checked job.fileType), for the clip open and locked as
// job.source. Every audio and video
// stream (and MPEG-4 timed text) is copied without decoding into an mp4 file, or a mov file with
// brand mp42 when the mp4 muxer refuses a codec (PCM audio); SubRip subtitles become timed text
// (without their styles). Written to job.mp4Output where the job gives one and the source is not an
// MPEG-4 or QuickTime file (Matroska, AVI), else to job.output; control.output() says which. The
// chapters, the source's tags (see general_tags.h) and the streams' titles and languages are kept.
// Other subtitles, attachments, data and stream tags without a place in a track cannot be carried:
// with job.keepsSource each is named in a line (general_texts::leftOutLine), else the export is refused with an error
// naming them all, so that replacing the source loses nothing. The file carries job.metadata (mdta
// keys, over the source's tags of the same names and its timecode) and, from its "timecode" item, a
// timecode track for each video, counting at the common rate of its frames (see FrameRateMeter) for
// as long as the video. A source without video, or with an audio or video codec neither muxer
// takes, fails with a Chinese error naming the file (and the codec). The written file is read back
// and checked before it is committed, and a source that changed meanwhile fails the export.
ErrorOr<void> remuxGeneral(const ExportJob& job, ExportControl& control, LockedClip& clip);

}  // namespace kelvatta
