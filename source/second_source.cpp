#include "second_source.h"

#include <string>

#include "codec.h"
#include "driver.h"
#include "riff.h"
#include "workspace.h"

namespace tolva {

namespace {

Status RefuseRange(const Command& c) {
  if (c.end > static_cast<double>(Res1.Seconds)) {
    return Status::Refused("the range ends at " + FormatSeconds(c.end) + " s, after the " +
                           std::to_string(Res1.Seconds) + " whole seconds of " +
                           SourceMp3(c, paths::kSecondMp3).string());
  }
  if (c.position < 0) return Status::Refused("the position lies before the audio");
  if (c.position > static_cast<double>(Res.Seconds)) {
    return Status::Refused("the position " + FormatSeconds(c.position) + " s lies after the " +
                           std::to_string(Res.Seconds) + " whole seconds of audio");
  }
  return Status::Ok();
}

// Decodes audio/res1.mp3, loads Res1 and checks the command against both files;
// then opens the second source as the working file needs it. The rate
// conversion happens while the frames are read, so Res1 is brought up to date
// here as the conversion of the file would leave it.
Status PrepareSecondSource(const Command& c, SecondSource* source) {
  if (Status s = Converter(1, c.file); !s.ok()) return s;
  if (Status s = Reset(Res1, kSecondSourceWav); !s.ok()) return s;
  if (Status s = CheckEditable(Res1, FileSize(paths::kSecondWav), paths::kSecondWav.string());
      !s.ok()) {
    return s;
  }
  if (Status s = RefuseRange(c); !s.ok()) return s;
  RIFF converted = Res1;
  if (Res.SampleRate != Res1.SampleRate) {
    if (Status s = ConvertedRecord(Res1, Res.SampleRate, &converted); !s.ok()) return s;
  }
  if (Status s =
          source->Open(paths::kSecondWav, Res1, Res1.DataSize, Res.SampleRate, Res.NumChannels);
      !s.ok()) {
    return s;
  }
  Res1 = converted;
  return Status::Ok();
}

// audio/res1.wav never outlives the command, whatever became of it.
template <typename Op>
Status WithSecondSource(const Command& c, Op op) {
  SecondSource source;
  Status status = PrepareSecondSource(c, &source);
  if (status.ok()) status = op(source);
  Status removed = RemoveFile(paths::kSecondWav);
  return status.ok() ? removed : status;
}

}  // namespace

Status RunMerge(const Command& c) {
  return WithSecondSource(
      c, [&](SecondSource& source) { return MergeFrom(Res, source, c.position, c.begin, c.end); });
}

Status RunCombine(const Command& c) {
  return WithSecondSource(c, [&](SecondSource& source) {
    return CombineFrom(Res, source, c.position, c.begin, c.end);
  });
}

}  // namespace tolva
