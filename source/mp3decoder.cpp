#include <fcntl.h>
#include <mpg123.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "codec.h"
#include "workspace.h"

namespace tolva {

namespace {

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mpg123_init(); });
}

std::string LibraryError(mpg123_handle* handle) {
  return mpg123_strerror(handle);
}

// Every frame decoded whole, at the stream's own rate and channel count, as
// 16-bit samples; junk of any length between frames is skipped.
Status Configure(mpg123_handle* handle) {
  bool ok = mpg123_param(handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0) == MPG123_OK &&
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
  if (fd_ >= 0) ::close(fd_);
}

Status Mp3Decoder::Open(const fs::path& path) {
  InitLibrary();
  path_ = path;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    if (errno == ENOENT) return Status::Failed("there is no " + path.string());
    return Status::Failed(ErrnoText("cannot open " + path.string()));
  }
  int error = MPG123_OK;
  handle_ = mpg123_new(nullptr, &error);
  if (handle_ == nullptr) {
    return Status::Failed(std::string("cannot start the MP3 decoder: ") +
                          mpg123_plain_strerror(error));
  }
  if (Status s = Configure(handle_); !s.ok()) return s;
  if (mpg123_open_fd(handle_, fd_) != MPG123_OK) {
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

Status Mp3Decoder::Read(int16_t* samples, int64_t max_frames, int64_t* frames) {
  *frames = 0;
  const size_t frame_bytes = 2 * static_cast<size_t>(channels_);
  const size_t want = static_cast<size_t>(max_frames) * frame_bytes;
  unsigned char* out = reinterpret_cast<unsigned char*>(samples);
  while (true) {
    size_t done = 0;
    int result = mpg123_read(handle_, out, want, &done);
    if (result == MPG123_NEW_FORMAT) {
      long rate = 0;
      int channels = 0, encoding = 0;
      mpg123_getformat(handle_, &rate, &channels, &encoding);
      if (rate != rate_ || channels != channels_) {
        return Status::Failed(path_.string() + " changes from " + std::to_string(channels_) +
                              " channels at " + std::to_string(rate_) + " Hz to " +
                              std::to_string(channels) + " channels at " + std::to_string(rate) +
                              " Hz midway");
      }
    } else if (result != MPG123_OK && result != MPG123_DONE) {
      return Status::Failed("cannot decode " + path_.string() + ": " + LibraryError(handle_));
    }
    if (done % frame_bytes != 0) {
      return Status::Failed("internal error: the MP3 decoder returned part of a sample frame");
    }
    if (done > 0 || result == MPG123_DONE) {
      *frames = static_cast<int64_t>(done / frame_bytes);
      return Status::Ok();
    }
  }
}

}  // namespace tolva
