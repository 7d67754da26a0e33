#include <dlfcn.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>

#include "codec.h"
#include "progress.h"
#include "riff.h"
#include "times.h"
#include "workspace.h"

namespace tolva {

namespace {

constexpr int64_t kBlockFrames = 1 << 15;
constexpr int kLowestRate = 8000;
constexpr int kHighestRate = 192000;
constexpr int64_t kCacheBytes = 1 << 18;

// libsndfile and the codecs it brings (FLAC, Vorbis, Opus, LAME) are loaded
// when a recording of another format is first read or written: mapping them
// at every start would cost each command, the front end's included, a few
// milliseconds it never needs them for.
struct Sndfile {
  decltype(&::sf_open_virtual) open_virtual;
  decltype(&::sf_close) close;
  decltype(&::sf_readf_float) readf_float;
  decltype(&::sf_readf_int) readf_int;
  decltype(&::sf_writef_short) writef_short;
  decltype(&::sf_error) error;
  decltype(&::sf_strerror) strerror;
  decltype(&::sf_error_number) error_number;
  std::string why;  // why it could not be loaded; empty when it was
};

Sndfile Load() {
  void* library = ::dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);
  auto symbol = [&](const char* name) { return library ? ::dlsym(library, name) : nullptr; };
  Sndfile loaded{reinterpret_cast<decltype(&::sf_open_virtual)>(symbol("sf_open_virtual")),
                 reinterpret_cast<decltype(&::sf_close)>(symbol("sf_close")),
                 reinterpret_cast<decltype(&::sf_readf_float)>(symbol("sf_readf_float")),
                 reinterpret_cast<decltype(&::sf_readf_int)>(symbol("sf_readf_int")),
                 reinterpret_cast<decltype(&::sf_writef_short)>(symbol("sf_writef_short")),
                 reinterpret_cast<decltype(&::sf_error)>(symbol("sf_error")),
                 reinterpret_cast<decltype(&::sf_strerror)>(symbol("sf_strerror")),
                 reinterpret_cast<decltype(&::sf_error_number)>(symbol("sf_error_number")),
                 {}};
  if (!loaded.open_virtual || !loaded.close || !loaded.readf_float || !loaded.readf_int ||
      !loaded.writef_short || !loaded.error || !loaded.strerror || !loaded.error_number) {
    const char* error = ::dlerror();
    loaded.why =
        std::string("cannot load libsndfile: ") + (error ? error : "a function is missing");
  }
  return loaded;
}

// Loaded at the first use, and only then: a failure stays the answer for the
// rest of the run.
const Sndfile& Libsndfile() {
  static const Sndfile library = Load();
  return library;
}

Status LoadSndfile() {
  const std::string& why = Libsndfile().why;
  return why.empty() ? Status::Ok() : Status::Failed(why);
}

// libsndfile's messages as part of ours: "Error : flac decoder lost sync." reads
// "flac decoder lost sync".
std::string LibraryText(const char* text) {
  std::string s = text != nullptr ? text : "unknown error";
  if (s.rfind("Error : ", 0) == 0) s.erase(0, 8);
  while (!s.empty() && (s.back() == '.' || s.back() == '\n')) s.pop_back();
  if (s.size() > 1 && std::islower(static_cast<unsigned char>(s[1]))) {
    s[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
  }
  return s;
}

// The file libsndfile reads or writes, through our own descriptors: a failing
// disk is then a failure with its reason, not a stream that seems to end.
// libsndfile sees the file from `base` on. It asks for a few KiB at a time;
// reads go through `cache`, a block of the file, to save the calls.
struct FileIo {
  int fd = -1;
  ReplacementFile* out = nullptr;  // when writing
  fs::path path;
  int64_t base = 0;
  int64_t position = 0;
  int64_t length = 0;
  Status status = Status::Ok();
  std::vector<char> cache;
  int64_t cache_at = 0;  // position of cache[0]
  int64_t cached = 0;
};

sf_count_t IoLength(void* user) {
  return static_cast<FileIo*>(user)->length;
}

sf_count_t IoSeek(sf_count_t offset, int whence, void* user) {
  FileIo& io = *static_cast<FileIo*>(user);
  const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? io.position : io.length;
  io.position = std::max<int64_t>(0, base + offset);
  return io.position;
}

// Up to `size` bytes from `at`; 0 at the end of the file or on a failure.
int64_t ReadAt(FileIo& io, char* bytes, int64_t size, int64_t at) {
  while (true) {
    const ssize_t n = ::pread(io.fd, bytes, static_cast<size_t>(size), io.base + at);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    io.status = Status::Failed(ErrnoText("cannot read " + io.path.string()));
    return 0;
  }
}

sf_count_t IoRead(void* bytes, sf_count_t count, void* user) {
  FileIo& io = *static_cast<FileIo*>(user);
  char* p = static_cast<char*>(bytes);
  sf_count_t done = 0;
  while (done < count && io.status.ok()) {
    const int64_t in_cache = io.position - io.cache_at;
    if (in_cache >= 0 && in_cache < io.cached) {
      const int64_t n = std::min<int64_t>(count - done, io.cached - in_cache);
      std::copy_n(io.cache.data() + in_cache, n, p + done);
      done += n;
      io.position += n;
      continue;
    }
    io.cache.resize(kCacheBytes);
    io.cache_at = io.position;
    io.cached = ReadAt(io, io.cache.data(), kCacheBytes, io.position);
    if (io.cached == 0) break;
  }
  return done;
}

sf_count_t IoWrite(const void* bytes, sf_count_t count, void* user) {
  FileIo& io = *static_cast<FileIo*>(user);
  if (io.status.ok()) io.status = io.out->WriteAt(bytes, static_cast<size_t>(count), io.position);
  if (!io.status.ok()) return 0;
  io.position += count;
  io.length = std::max(io.length, io.position);
  return count;
}

sf_count_t IoTell(void* user) {
  return static_cast<FileIo*>(user)->position;
}

SF_VIRTUAL_IO* Callbacks() {
  static SF_VIRTUAL_IO callbacks{IoLength, IoSeek, IoRead, IoWrite, IoTell};
  return &callbacks;
}

bool IsFloating(int format) {
  const int encoding = format & SF_FORMAT_SUBMASK;
  return encoding == SF_FORMAT_FLOAT || encoding == SF_FORMAT_DOUBLE ||
         encoding == SF_FORMAT_VORBIS || encoding == SF_FORMAT_OPUS;
}

// A 32-bit sample (libsndfile's integers: the source's bits at the top) or a
// floating-point one (full scale 1.0) rounded to 16 bits: to the nearest, a
// half up, as sox rounds; clipped, never wrapped.
int16_t RoundTo16(int32_t sample) {
  return static_cast<int16_t>(std::min<int64_t>((int64_t{sample} + 0x8000) >> 16, 32767));
}

int16_t RoundTo16(float sample) {
  if (std::isnan(sample)) return 0;
  const double scaled = std::floor(static_cast<double>(sample) * 32768 + 0.5);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

}  // namespace

struct SndfileDecoder::Io : FileIo {
  FileDescriptor descriptor;
};

SndfileDecoder::SndfileDecoder() : io_(std::make_unique<Io>()) {}

SndfileDecoder::~SndfileDecoder() {
  if (file_ != nullptr) Libsndfile().close(file_);
}

Status SndfileDecoder::Open(const fs::path& path, const std::string& format, int64_t start) {
  if (Status s = LoadSndfile(); !s.ok()) return s;
  io_->path = path;
  if (Status s = OpenToRead(path, &io_->descriptor); !s.ok()) return s;
  io_->fd = io_->descriptor.get();
  struct stat st;
  if (::fstat(io_->fd, &st) != 0) return Status::Failed(ErrnoText("cannot open " + path.string()));
  io_->base = std::clamp<int64_t>(start, 0, st.st_size);
  io_->length = st.st_size - io_->base;
  SF_INFO info{};
  file_ = Libsndfile().open_virtual(Callbacks(), SFM_READ, &info, io_.get());
  if (file_ == nullptr) {
    if (!io_->status.ok()) return io_->status;
    return Status::Failed(path.string() + " cannot be read as " + format + ": " +
                          LibraryText(Libsndfile().strerror(nullptr)));
  }
  if (info.channels < 1 || info.channels > 2) {
    return Status::Failed(path.string() + " has " + std::to_string(info.channels) +
                          " channels; tolva edits mono and stereo recordings: mix it down to "
                          "two channels first");
  }
  if (info.samplerate < kLowestRate || info.samplerate > kHighestRate) {
    return Status::Failed(path.string() + " is at " + std::to_string(info.samplerate) +
                          " Hz; tolva imports 8000 to 192000 Hz");
  }
  channels_ = info.channels;
  rate_ = info.samplerate;
  announced_ = info.frames == SF_COUNT_MAX ? 0 : info.frames;
  floating_ = IsFloating(info.format);
  return Status::Ok();
}

Status SndfileDecoder::Read(int16_t* samples, int64_t max_frames, int64_t* frames) {
  *frames = 0;
  if (ended_ || max_frames <= 0) return Status::Ok();
  const size_t count = static_cast<size_t>(max_frames * channels_);
  sf_count_t got = 0;
  if (floating_) {
    if (floats_.size() < count) floats_.resize(count);
    got = Libsndfile().readf_float(file_, floats_.data(), max_frames);
    for (size_t i = 0; i < static_cast<size_t>(got * channels_); ++i) {
      samples[i] = RoundTo16(floats_[i]);
    }
  } else {
    if (integers_.size() < count) integers_.resize(count);
    got = Libsndfile().readf_int(file_, integers_.data(), max_frames);
    for (size_t i = 0; i < static_cast<size_t>(got * channels_); ++i) {
      samples[i] = RoundTo16(integers_[i]);
    }
  }
  if (!io_->status.ok()) return io_->status;
  // Each read clears the error of the one before: a broken frame in the middle
  // shows only in the read that met it.
  if (Libsndfile().error(file_) != SF_ERR_NO_ERROR && why_.empty())
    why_ = LibraryText(Libsndfile().strerror(file_));
  frames_read_ += got;
  *frames = got;
  if (got < max_frames) return End();
  return Status::Ok();
}

Status SndfileDecoder::End() {
  ended_ = true;
  if (why_.empty() && frames_read_ >= announced_) return Status::Ok();
  auto clock = [this](int64_t frames) { return ClockTime(static_cast<double>(frames) / rate_, 3); };
  const std::string why = why_.empty() ? "" : " (" + why_ + ")";
  const std::string name = io_->path.string();
  if (frames_read_ == 0 && why.empty()) {
    return Status::Failed(name + " holds none of the " + clock(announced_) +
                          " of audio its header announces");
  }
  if (frames_read_ == 0) return Status::Failed(name + " cannot be decoded" + why);
  damage_ = name + " is damaged or cut short" + why + ": tolva imported the " +
            clock(frames_read_) +
            (frames_read_ < announced_ ? " of its " + clock(announced_) : std::string()) +
            " that could be decoded";
  return Status::Ok();
}

Status EncodeFlacFile(const fs::path& wav, const fs::path& flac, const fs::path& scratch) {
  if (Status s = LoadSndfile(); !s.ok()) return s;
  RIFF record{};
  if (Status s = ReadEditableHeader(wav, wav.string(), &record); !s.ok()) return s;
  WavSource source;
  if (Status s = source.Open(wav, record); !s.ok()) return s;
  ReplacementFile out(scratch);
  if (Status s = out.Open(); !s.ok()) return s;
  FileIo io;
  io.out = &out;
  io.path = scratch;
  SF_INFO info{};
  info.samplerate = source.rate();
  info.channels = source.channels();
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  SNDFILE* file = Libsndfile().open_virtual(Callbacks(), SFM_WRITE, &info, &io);
  if (file == nullptr) {
    if (!io.status.ok()) return io.status;
    return Status::Failed("cannot encode FLAC at " + std::to_string(source.rate()) +
                          " Hz: " + LibraryText(Libsndfile().strerror(nullptr)));
  }
  std::vector<int16_t> block(static_cast<size_t>(kBlockFrames * source.channels()));
  Status status = Status::Ok();
  while (status.ok()) {
    int64_t frames = 0;
    status = source.Read(block.data(), kBlockFrames, &frames);
    if (status.ok() && frames == 0) break;
    if (status.ok() && Libsndfile().writef_short(file, block.data(), frames) != frames) {
      status = io.status.ok() ? Status::Failed("cannot encode " + flac.string() + ": " +
                                               LibraryText(Libsndfile().strerror(file)))
                              : io.status;
    }
    const auto [done, total] = source.Progress();
    ReportProgress(done, total);
  }
  // The encoder writes its last frame and the stream's sizes when it closes.
  const int closed = Libsndfile().close(file);
  if (!status.ok()) return status;
  if (!io.status.ok()) return io.status;
  if (closed != SF_ERR_NO_ERROR) {
    return Status::Failed("cannot encode " + flac.string() + ": " +
                          LibraryText(Libsndfile().error_number(closed)));
  }
  return out.CommitAs(flac);
}

}  // namespace tolva
