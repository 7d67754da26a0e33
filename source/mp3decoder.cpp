#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "codec.h"
#include "workspace.h"

namespace tolva {

namespace {

// A stray header in junk between frames can pass for a frame of another
// format, which libmpg123 then decodes; a frame or two of it is dropped like
// the junk it is, a format that lasts longer is a real change.
constexpr int64_t kMostStrayFrames = 2 * 1152;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mpg123_init(); });
}

std::string LibraryError(mpg123_handle* handle) {
  return mpg123_strerror(handle);
}

// At the stream's own rate and channel count, as 16-bit samples; junk of any
// length between frames is skipped. Where an information frame records the
// encoder's delay and padding, those samples are trimmed, so that the
// recording comes back as long as it went in and not shifted; a stream
// without one is decoded every frame whole.
Status Configure(mpg123_handle* handle) {
  bool ok = mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_GAPLESS, 0) == MPG123_OK &&
            mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0) == MPG123_OK &&
            mpg123_param(handle, MPG123_RESYNC_LIMIT, -1, 0) == MPG123_OK &&
            mpg123_format_none(handle) == MPG123_OK;
  const long* rates = nullptr;
  size_t count = 0;
  mpg123_rates(&rates, &count);
  for (size_t i = 0; ok && i < count; ++i) {
    ok = mpg123_format(handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16) ==
         MPG123_OK;
  }
  if (!ok) return Status::Failed("cannot set up the MP3 decoder: " + LibraryError(handle));
  return Status::Ok();
}

}  // namespace

Mp3Decoder::~Mp3Decoder() {
  if (handle_ != nullptr) {
    mpg123_close(handle_);
    mpg123_delete(handle_);
  }
}

std::pair<int64_t, int64_t> Mp3Decoder::Progress() const {
  if (!fd_.valid()) return {0, 0};
  return {static_cast<int64_t>(::lseek(fd_.get(), 0, SEEK_CUR)), file_bytes_};
}

int64_t Mp3Decoder::AnnouncedFrames() {
  if (handle_ == nullptr || channels_ <= 0) return 0;
  off_t frames = mpg123_length(handle_);
  if (frames > kMaxWavDataBytes / (2 * channels_) && mpg123_scan(handle_) == MPG123_OK) {
    frames = mpg123_length(handle_);
  }
  return frames > 0 ? static_cast<int64_t>(frames) : 0;
}

Status Mp3Decoder::Open(const fs::path& path) {
  InitLibrary();
  path_ = path;
  if (Status s = OpenToRead(path, &fd_); !s.ok()) return s;
  struct stat st;
  file_bytes_ = ::fstat(fd_.get(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  int error = MPG123_OK;
  handle_ = mpg123_new(nullptr, &error);
  if (handle_ == nullptr) {
    return Status::Failed(std::string("cannot start the MP3 decoder: ") +
                          mpg123_plain_strerror(error));
  }
  if (Status s = Configure(handle_); !s.ok()) return s;
  if (mpg123_open_fd(handle_, fd_.get()) != MPG123_OK) {
    return Status::Failed("cannot read " + path.string() + ": " + LibraryError(handle_));
  }
  long rate = 0;
  int channels = 0, encoding = 0;
  if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK) {
    return Status::Failed(path.string() + " holds no MP3 audio");
  }
  if (channels != 1 && channels != 2) {
    return Status::Failed(path.string() + " holds an MP3 stream of " + std::to_string(channels) +
                          " channels");
  }
  rate_ = static_cast<int>(rate);
  channels_ = channels;
  return Status::Ok();
}

void Mp3Decoder::TakeFormat() {
  long rate = 0;
  int channels = 0, encoding = 0;
  mpg123_getformat(handle_, &rate, &channels, &encoding);
  if (rate == rate_ && channels == channels_) {
    stray_ = false;
    return;
  }
  if (!stray_ || rate != stray_rate_ || channels != stray_channels_) stray_frames_ = 0;
  stray_ = true;
  stray_rate_ = static_cast<int>(rate);
  stray_channels_ = channels;
}

Status Mp3Decoder::Read(int16_t* samples, int64_t max_frames, int64_t* frames) {
  *frames = 0;
  const size_t frame_bytes = 2 * static_cast<size_t>(channels_);
  unsigned char* out = reinterpret_cast<unsigned char*>(samples);
  while (true) {
    size_t done = 0;
    int result = mpg123_read(handle_, out, static_cast<size_t>(max_frames) * frame_bytes, &done);
    if (result != MPG123_OK && result != MPG123_DONE && result != MPG123_NEW_FORMAT) {
      return Status::Failed("cannot decode " + path_.string() + ": " + LibraryError(handle_));
    }
    if (stray_) {
      stray_frames_ += static_cast<int64_t>(done) / (2 * stray_channels_);
      if (stray_frames_ > kMostStrayFrames) {
        return Status::Failed(path_.string() + " changes from " + std::to_string(channels_) +
                              " channels at " + std::to_string(rate_) + " Hz to " +
                              std::to_string(stray_channels_) + " channels at " +
                              std::to_string(stray_rate_) + " Hz midway");
      }
    } else {
      if (done % frame_bytes != 0) {
        return Status::Failed("internal error: the MP3 decoder returned part of a sample frame");
      }
      *frames = static_cast<int64_t>(done / frame_bytes);
    }
    if (result == MPG123_NEW_FORMAT) TakeFormat();
    if (*frames > 0 || result == MPG123_DONE) return Status::Ok();
  }
}

}  // namespace tolva
