#include "history.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <sstream>
#include <system_error>

#include "engine.h"
#include "pieces.h"
#include "riff.h"

namespace tolva {

namespace {

bool ParseNumber(const std::string& text, size_t& pos, int64_t* value) {
  size_t start = pos;
  int64_t v = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 12) {
    v = v * 10 + (text[pos] - '0');
    ++pos;
  }
  *value = v;
  return pos > start;
}

}  // namespace

std::function<int64_t()>& SnapshotClock() {
  static std::function<int64_t()> clock = [] {
    if (const char* fixed = std::getenv("TOLVA_CLOCK")) {
      char* end = nullptr;
      const long long seconds = std::strtoll(fixed, &end, 10);
      if (end != fixed && *end == '\0') return static_cast<int64_t>(seconds);
    }
    return static_cast<int64_t>(std::time(nullptr));
  };
  return clock;
}

SnapshotKey ReadClock() {
  std::time_t now = static_cast<std::time_t>(SnapshotClock()());
  std::tm utc{};
  gmtime_r(&now, &utc);
  return {utc.tm_year + 1900,
          utc.tm_mon + 1,
          utc.tm_mday,
          utc.tm_hour + kSnapshotHourShift,
          utc.tm_min,
          utc.tm_sec,
          0};
}

std::string VersionName(const SnapshotKey& key) {
  std::string name = "output";
  for (size_t i = 0; i < key.size(); ++i) {
    if (i < 6 || key[i] > 0) name.append("_").append(std::to_string(key[i]));
  }
  return name;
}

std::optional<SnapshotKey> ParseSnapshotName(const std::string& name) {
  const std::string prefix = "output_";
  std::string body = name;
  for (const char* suffix : {".wav", ".pieces"}) {
    if (body.ends_with(suffix)) body.resize(body.size() - std::strlen(suffix));
  }
  if (body.size() <= prefix.size() || !body.starts_with(prefix)) return std::nullopt;
  body.erase(0, prefix.size());
  SnapshotKey key;
  size_t pos = 0;
  while (true) {
    int64_t value;
    if (!ParseNumber(body, pos, &value)) return std::nullopt;
    key.push_back(value);
    if (pos == body.size()) break;
    if (body[pos] != '_') return std::nullopt;
    ++pos;
  }
  if (key.size() == 6) key.push_back(0);
  if (key.size() != 7) return std::nullopt;
  return key;
}

std::vector<std::string> GetFileList(const fs::path& folder, const std::string& ext) {
  std::vector<std::string> names;
  std::error_code ec;
  const std::string suffix = "." + ext;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::string name = it->path().filename().string();
    if (name.size() > suffix.size() && name.ends_with(suffix)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<Version> Versions(const fs::path& folder, bool newest_first) {
  std::map<SnapshotKey, Version> found;
  for (const char* ext : {"wav", "pieces"}) {
    for (const std::string& file : GetFileList(folder, ext)) {
      const std::optional<SnapshotKey> key = ParseSnapshotName(file);
      if (!key) continue;
      Version& v = found[*key];
      v.folder = folder;
      v.name = file.substr(0, file.size() - std::strlen(ext) - 1);
      (ext[0] == 'w' ? v.whole : v.pieces) = true;
    }
  }
  std::vector<Version> versions;
  for (auto& [key, version] : found) versions.push_back(std::move(version));
  if (newest_first) std::reverse(versions.begin(), versions.end());
  return versions;
}

Status ReadVersionHeader(const Version& version, RIFF* header) {
  if (version.whole) return ReadEditableHeader(version.WholePath(), "it", header);
  std::string prefix;
  if (Status s = ReadPiecesPrefix(version.PiecesPath(), kMaxHeaderBytes, &prefix); !s.ok()) {
    return s;
  }
  if (!ParseHeader(reinterpret_cast<const uint8_t*>(prefix.data()), prefix.size(), *header)) {
    return Status::Failed("not a WAV file this program can read");
  }
  DescriptionReader reader;
  if (Status s = reader.Open(version.PiecesPath()); !s.ok()) return s;
  return CheckEditable(*header, reader.bytes(), "it");
}

Status SaveVersion(const Version& version, const fs::path& target, const fs::path& scratch) {
  ReplacementFile out(scratch);
  if (Status s = out.Open(); !s.ok()) return s;
  if (version.whole) {
    FileDescriptor in(::open(version.WholePath().c_str(), O_RDONLY | O_CLOEXEC));
    const int64_t size = FileSize(version.WholePath());
    if (!in.valid() || size < 0)
      return Status::Failed(ErrnoText("cannot read " + version.Path().string()));
    if (Status s = AppendRange(in.get(), 0, size, out); !s.ok()) return s;
  } else if (Status s = BuildFromPieces(version.PiecesPath(), out); !s.ok()) {
    return s;
  }
  // The version stays in the history: a copy lost to a power failure can be made again.
  return out.CommitAs(target, ReplacementFile::Flush::kSkip);
}

namespace {

bool NameTaken(const std::string& name) {
  for (const fs::path& folder : {paths::kSnapshots, paths::kRedoSteps}) {
    if (Exists(folder / (name + ".wav")) || Exists(folder / (name + ".pieces"))) return true;
  }
  return false;
}

// A link where the file system allows one, a copy otherwise; never over a file.
Status LinkNew(const fs::path& from, const fs::path& to) {
  bool existed = false;
  Status s = LinkOrCopy(from, to, &existed);
  if (s.ok() && existed) return Status::Failed("the name " + to.string() + " is taken");
  return s;
}

// The description of the working file, when it was written for this very file.
bool WorkingFileDescribed() {
  DescriptionReader reader;
  return reader.Open(paths::kWorkingPieces).ok() &&
         reader.whole() == WholeIdentityOf(paths::kWorking);
}

// Makes audio/oldversions/working.pieces describe the working file. A working
// file no edit of this history made (an import, a file put in place by hand, a
// workspace of an earlier version) becomes a blob of its own, kept whole.
Status DescribeWorkingFile() {
  const WholeIdentity working = WholeIdentityOf(paths::kWorking);
  if (working.size < 0 || WorkingFileDescribed()) return Status::Ok();
  if (Status s = MakeFolder(paths::kPieces); !s.ok()) return s;
  const std::string blob = NewBlobName("wav");
  if (Status s = LinkNew(paths::kWorking, paths::kPieces / blob); !s.ok()) return s;
  DescriptionWriter description(paths::kNewWorkingPieces);
  if (Status s = description.Open(); !s.ok()) return s;
  if (Status s = description.Add({blob, 0, working.size}); !s.ok()) return s;
  if (Status s = description.Finish(working); !s.ok()) return s;
  return MoveOver(paths::kNewWorkingPieces, paths::kWorkingPieces);
}

// Keeps the working file under `name` in `folder`: its description first, so
// that the version is complete whenever its whole file is there.
Status KeepWorkingFile(const fs::path& folder, const std::string& name) {
  if (Status s = MakeFolder(folder); !s.ok()) return s;
  if (WorkingFileDescribed()) {
    if (Status s = LinkNew(paths::kWorkingPieces, folder / (name + ".pieces")); !s.ok()) return s;
  }
  return LinkNew(paths::kWorking, folder / (name + ".wav"));
}

// Only the newest version of `folder` stays whole (the next undo or redo is a
// rename); of the others the whole file goes where pieces can stand in for it.
// The recordings as imported stay whole as blobs.
void KeepOnlyTheNewestWhole(const fs::path& folder) {
  const std::vector<Version> versions = Versions(folder, true);
  for (size_t i = 1; i < versions.size(); ++i) {
    const Version& v = versions[i];
    if (v.whole && v.pieces && CheckDescription(v.PiecesPath()).ok()) RemoveFile(v.WholePath());
  }
}

std::vector<fs::path> AllDescriptions() {
  std::vector<fs::path> descriptions = {paths::kWorkingPieces, paths::kNewWorkingPieces};
  for (const fs::path& folder : {paths::kSnapshots, paths::kRedoSteps}) {
    for (const Version& v : Versions(folder, false)) {
      if (v.pieces) descriptions.push_back(v.PiecesPath());
    }
  }
  std::erase_if(descriptions, [](const fs::path& d) { return !Exists(d); });
  return descriptions;
}

Status FreeUnusedPieces() {
  for (const std::string& blob : UnusedBlobs(AllDescriptions())) {
    if (Status s = RemoveFile(paths::kPieces / blob); !s.ok()) return s;
  }
  return Status::Ok();
}

// The redo steps go when a new edit starts a new branch, and what only they
// used is freed (what an earlier version set aside in oldversions/dropped too).
Status DropRedoSteps() {
  for (const Version& v : Versions(paths::kRedoSteps, false)) {
    for (const fs::path& file : {v.WholePath(), v.PiecesPath()}) {
      if (Status s = RemoveFile(file); !s.ok()) return s;
    }
  }
  return RemoveFolder(paths::kDropped);
}

}  // namespace

std::string NewVersionName() {
  SnapshotKey key = ReadClock();
  for (const fs::path& folder : {paths::kSnapshots, paths::kRedoSteps}) {
    const std::vector<Version> versions = Versions(folder, true);
    if (versions.empty()) continue;
    SnapshotKey newest = *ParseSnapshotName(versions.front().name);
    if (newest >= key) {
      ++newest[6];
      key = newest;
    }
  }
  while (NameTaken(VersionName(key))) ++key[6];
  return VersionName(key);
}

Status CreateVersion() {
  if (FileSize(paths::kWorking) < 0) return Status::Ok();
  if (Status s = MakeFolder(paths::kSnapshots); !s.ok()) return s;
  // Without a description the snapshot is only kept whole, as before pieces.
  Status described = DescribeWorkingFile();
  if (Status s = KeepWorkingFile(paths::kSnapshots, NewVersionName()); !s.ok()) {
    return Status::Failed("no snapshot could be taken, so nothing was changed: " + s.message());
  }
  if (described.ok()) KeepOnlyTheNewestWhole(paths::kSnapshots);
  return Status::Ok();
}

namespace {

// Where a step of `kind` takes its version from and keeps the working file.
fs::path FromFolder(Step::Kind kind) {
  return kind == Step::Kind::kUndo ? paths::kSnapshots : paths::kRedoSteps;
}
fs::path KeepFolder(Step::Kind kind) {
  return kind == Step::Kind::kUndo ? paths::kRedoSteps : paths::kSnapshots;
}

// Whether a version can be installed; its whole file is used only when it is
// usable, its pieces otherwise.
Status Usable(Version* v) {
  RIFF header{};
  if (v->whole) {
    Status whole = ReadVersionHeader(*v, &header);
    if (whole.ok() || !v->pieces) return whole;
    v->whole = false;
  }
  if (Status s = CheckDescription(v->PiecesPath()); !s.ok()) return s;
  return ReadVersionHeader(*v, &header);
}

// A version kept only as pieces, rebuilt into the scratch file, with the
// description of the rebuilt file beside it.
Status Rebuild(const Version* v, ReplacementFile& rebuilt) {
  if (Status s = rebuilt.Open(); !s.ok()) return s;
  if (Status s = BuildFromPieces(v->PiecesPath(), rebuilt); !s.ok()) return s;
  if (Status s = rebuilt.Close(ReplacementFile::Flush::kToDisk); !s.ok()) return s;
  // Its description now describes the rebuilt file too.
  DescriptionReader reader;
  DescriptionWriter description(paths::kNewWorkingPieces);
  Piece piece;
  Status s = reader.Open(v->PiecesPath());
  if (s.ok()) s = description.Open();
  while (s.ok() && reader.Next(&piece)) s = description.Add(piece);
  if (s.ok()) s = reader.status();
  return s.ok() ? description.Finish(WholeIdentityOf(rebuilt.path())) : s;
}

// The part of an undo or redo after the version took the working file's place:
// its description becomes the working file's, and of a version rebuilt from
// its pieces goes a whole file too damaged to install; only the newest version
// of the folder that kept the old working file stays whole.
Status FinishStepAcross(const Step& step) {
  const Version v{FromFolder(step.kind), step.version};
  if (!step.whole && Exists(paths::kNewWorkingPieces)) {
    if (Status s = MoveOver(paths::kNewWorkingPieces, paths::kWorkingPieces); !s.ok()) return s;
  }
  if (step.whole && Exists(v.PiecesPath())) {
    if (Status s = MoveOver(v.PiecesPath(), paths::kWorkingPieces); !s.ok()) return s;
  }
  if (!step.whole) {
    for (const fs::path& file : {v.PiecesPath(), v.WholePath()}) {
      if (Status s = RemoveFile(file); !s.ok()) return s;
    }
  }
  KeepOnlyTheNewestWhole(KeepFolder(step.kind));
  return Status::Ok();
}

// Installs the first usable version of `kind`'s folder (newest first) as the
// working file and keeps the working file it replaces under a new name in the
// other folder. The working file is linked before anything is renamed over
// it, so every version keeps at least one name throughout.
Status StepAcross(Step::Kind kind, const std::string& none) {
  for (Version v : Versions(FromFolder(kind), true)) {
    if (Status usable = Usable(&v); !usable.ok()) {
      std::fprintf(stderr, "tolva: skipped %s: %s\n", v.Path().c_str(), usable.message().c_str());
      continue;
    }
    ReplacementFile rebuilt(paths::kScratch);
    if (!v.whole) {
      if (Status s = Rebuild(&v, rebuilt); !s.ok()) return s;
    }
    Step step;
    step.kind = kind;
    step.working = IdentityOf(paths::kWorking);
    step.version = v.name;
    step.whole = v.whole;
    const bool has_working = FileSize(paths::kWorking) >= 0;
    if (has_working) {
      if (Status s = DescribeWorkingFile(); !s.ok()) return s;
      step.kept = NewVersionName();
    }
    if (Status s = BeginStep(step, false); !s.ok()) return s;
    if (has_working) {
      if (Status s = KeepWorkingFile(KeepFolder(kind), step.kept); !s.ok()) return s;
    }
    Status installed =
        v.whole ? MoveOver(v.WholePath(), paths::kWorking) : rebuilt.RenameTo(paths::kWorking);
    if (!installed.ok()) return installed;
    if (Status s = FinishStepAcross(step); !s.ok()) return s;
    return EndStep();
  }
  return Status::Refused(none);
}

}  // namespace

Status Discard() {
  return StepAcross(Step::Kind::kUndo, "there is no snapshot to undo to");
}

Status Redo() {
  return StepAcross(Step::Kind::kRedo, "there is nothing to redo");
}

Status FinishReplace(const FileIdentity& before) {
  if (IdentityOf(paths::kWorking) == before) {
    if (Status s = RemoveFile(paths::kNewWorkingPieces); !s.ok()) return s;
    return FreeUnusedPieces();
  }
  // A description written for another file (an edit that did not reach its
  // rename before a kill) describes nothing.
  DescriptionReader written;
  if (written.Open(paths::kNewWorkingPieces).ok() &&
      written.whole() == WholeIdentityOf(paths::kWorking)) {
    if (Status s = MoveOver(paths::kNewWorkingPieces, paths::kWorkingPieces); !s.ok()) return s;
  } else {
    for (const fs::path& stale : {paths::kNewWorkingPieces, paths::kWorkingPieces}) {
      if (Status s = RemoveFile(stale); !s.ok()) return s;
    }
  }
  if (Status s = DropRedoSteps(); !s.ok()) return s;
  KeepOnlyTheNewestWhole(paths::kSnapshots);
  return FreeUnusedPieces();
}

Status ClearWorkingFileAndHistory() {
  Status working = RemoveFile(paths::kWorking);
  Status history = RemoveFolder(paths::kSnapshots);
  return working.ok() ? history : working;
}

// What an edit of the working file writes, as pieces: the stretches it copied
// are pieces of the working file's own description; the bytes it made are
// copied, once the new file is complete, into a blob of their own ("N.bytes"),
// each at an offset that agrees with its place in the new file modulo the
// block size, so that a file system with shared extents shares them instead of
// storing them twice. An edit that makes more than half of its audio (a
// whole-file effect) keeps the new file itself as the blob ("N.wav").
class PiecesRecorder : public EditRecorder {
 public:
  Status Began(int64_t total_bytes) override {
    map_.clear();
    made_blob_.reset();
    total_ = total_bytes;
    written_ = header_ = made_ = 0;
    return Status::Ok();
  }
  Status Copied(int64_t source_offset, int64_t length) override {
    Add(Stretch::kSource, source_offset, length);
    return Status::Ok();
  }
  Status Wrote(int64_t length) override {
    // The header is always made anew; what counts is how much of the audio is.
    (written_ == 0 ? header_ : made_) += length;
    Add(Stretch::kMade, written_, length);
    return Status::Ok();
  }
  // What fails here costs only the description: the next edit then keeps the
  // new file whole, as one no edit made.
  Status Completed(const fs::path& scratch) override {
    if (!WorkingFileDescribed() || !Describe(scratch).ok()) ForgetDescription();
    return Status::Ok();
  }
  // The made bytes reach the disk in the commit that flushed the new file; this
  // flush only waits for them.
  Status Flushed() override {
    if (made_blob_ && !made_blob_->CommitAs(paths::kPieces / made_blob_name_).ok()) {
      ForgetDescription();
    }
    return Status::Ok();
  }

 private:
  struct Stretch {
    enum Kind { kSource, kMade } kind;
    int64_t from;  // a byte of the working file, or of the new file
    int64_t length;
  };

  void ForgetDescription() {
    made_blob_.reset();
    RemoveFile(paths::kNewWorkingPieces);
  }

  void Add(Stretch::Kind kind, int64_t from, int64_t length) {
    if (!map_.empty() && map_.back().kind == kind &&
        map_.back().from + map_.back().length == from) {
      map_.back().length += length;
    } else {
      map_.push_back({kind, from, length});
    }
    written_ += length;
  }

  // The made bytes of `scratch` kept in a blob; `at` gets where each stretch
  // of them lies in it.
  Status KeepMadeBytes(const fs::path& scratch, std::string* blob, std::vector<int64_t>* at) {
    if (Status s = MakeFolder(paths::kPieces); !s.ok()) return s;
    if (made_ > (total_ - header_) / 2) {
      *blob = NewBlobName("wav");
      for (const Stretch& stretch : map_) at->push_back(stretch.from);
      return LinkNew(scratch, paths::kPieces / *blob);
    }
    *blob = made_blob_name_ = NewBlobName("bytes");
    fs::path part = paths::kPieces / *blob;
    part += ".part";
    ReplacementFile& out = made_blob_.emplace(part);
    FileDescriptor in(::open(scratch.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return Status::Failed(ErrnoText("cannot read " + scratch.string()));
    if (Status s = out.Open(); !s.ok()) return s;
    for (const Stretch& stretch : map_) {
      const int64_t block = out.block_size(), end = out.size();
      const int64_t place = end + ((stretch.from - end) % block + block) % block;
      at->push_back(place);
      if (stretch.kind == Stretch::kSource) continue;
      if (Status s = out.Skip(place - end); !s.ok()) return s;
      if (Status s = AppendRange(in.get(), stretch.from, stretch.length, out); !s.ok()) return s;
    }
    out.StartWriteback();
    return Status::Ok();
  }

  Status Describe(const fs::path& scratch) {
    std::string blob;
    std::vector<int64_t> at;
    if (Status s = KeepMadeBytes(scratch, &blob, &at); !s.ok()) return s;
    DescriptionWriter description(paths::kNewWorkingPieces);
    if (Status s = description.Open(); !s.ok()) return s;
    for (size_t i = 0; i < map_.size(); ++i) {
      const Stretch& stretch = map_[i];
      Status s = stretch.kind == Stretch::kSource
                     ? AddWorkingPieces(description, stretch.from, stretch.length)
                     : description.Add({blob, at[i], stretch.length});
      if (!s.ok()) return s;
    }
    return description.Finish(WholeIdentityOf(scratch));
  }

  // The pieces of the working file's bytes [from, from + length).
  static Status AddWorkingPieces(DescriptionWriter& out, int64_t from, int64_t length) {
    DescriptionReader reader;
    if (Status s = reader.Open(paths::kWorkingPieces); !s.ok()) return s;
    int64_t at = 0;
    for (Piece p; at < from + length && reader.Next(&p); at += p.length) {
      const int64_t low = std::max(at, from), high = std::min(at + p.length, from + length);
      if (low >= high) continue;
      if (Status s = out.Add({p.blob, p.offset + (low - at), high - low}); !s.ok()) return s;
    }
    if (!reader.status().ok()) return reader.status();
    return at >= from + length ? Status::Ok()
                               : Status::Failed("the working file's description is too short");
  }

  std::vector<Stretch> map_;
  std::optional<ReplacementFile> made_blob_;  // flushed and named once the new file is
  std::string made_blob_name_;
  int64_t total_ = 0;
  int64_t written_ = 0;
  int64_t header_ = 0;
  int64_t made_ = 0;
};

EditRecording::EditRecording() : recorder_(std::make_unique<PiecesRecorder>()) {
  SetEditRecorder(recorder_.get());
}

EditRecording::~EditRecording() {
  SetEditRecorder(nullptr);
}

// The step file: one "key value" line per field, then "end". A file without
// its last line was being written when the run stopped, before the step
// changed anything.
namespace {

const char* KindName(Step::Kind kind) {
  switch (kind) {
    case Step::Kind::kReplace:
      return "replace";
    case Step::Kind::kUndo:
      return "undo";
    case Step::Kind::kRedo:
      return "redo";
    case Step::Kind::kClear:
      return "clear";
  }
  return "";
}

std::optional<Step> ParseStep(const std::string& text) {
  std::istringstream in(text);
  std::string key, kind;
  Step step;
  bool ended = false;
  while (!ended && in >> key) {
    if (key == "kind") {
      in >> kind;
    } else if (key == "working") {
      in >> step.working.device >> step.working.inode;
    } else if (key == "version") {
      in >> step.version;
    } else if (key == "kept") {
      in >> step.kept;
    } else if (key == "whole") {
      in >> step.whole;
    } else if (key == "end") {
      ended = true;
    } else {
      return std::nullopt;
    }
    if (!in) return std::nullopt;
  }
  const Step::Kind kinds[] = {Step::Kind::kReplace, Step::Kind::kUndo, Step::Kind::kRedo,
                              Step::Kind::kClear};
  for (Step::Kind k : kinds) {
    if (ended && kind == KindName(k)) {
      step.kind = k;
      return step;
    }
  }
  return std::nullopt;
}

// Whether an undo or redo reached the rename that installs its version.
bool Installed(const Step& step) {
  if (step.whole) return !Exists(Version{FromFolder(step.kind), step.version}.WholePath());
  return IdentityOf(paths::kWorking) != step.working;
}

Status TakeBack(const Step& step) {
  if (!step.kept.empty()) {
    const Version kept{KeepFolder(step.kind), step.kept};
    for (const fs::path& file : {kept.WholePath(), kept.PiecesPath()}) {
      if (Status s = RemoveFile(file); !s.ok()) return s;
    }
  }
  return RemoveFile(paths::kNewWorkingPieces);
}

}  // namespace

Status BeginStep(const Step& step, bool durable) {
  std::string text = std::string("kind ") + KindName(step.kind) + "\nworking " +
                     std::to_string(step.working.device) + " " +
                     std::to_string(step.working.inode) + "\n";
  if (!step.version.empty()) text += "version " + step.version + "\n";
  if (!step.kept.empty()) text += "kept " + step.kept + "\n";
  text += std::string("whole ") + (step.whole ? "1" : "0") + "\nend\n";
  return WriteNewFile(paths::kStep, text, durable);
}

Status EndStep() {
  return RemoveFile(paths::kStep);
}

namespace {

// The step a killed run left written down, finished or taken back.
Status FinishStepWrittenDown() {
  if (!Exists(paths::kStep)) return Status::Ok();
  std::string text;
  if (Status s = ReadPrefix(paths::kStep, 4096, &text); !s.ok()) return s;
  if (std::optional<Step> step = ParseStep(text)) {
    Status s = Status::Ok();
    switch (step->kind) {
      case Step::Kind::kReplace:
        s = FinishReplace(step->working);
        break;
      case Step::Kind::kUndo:
      case Step::Kind::kRedo:
        s = Installed(*step) ? FinishStepAcross(*step) : TakeBack(*step);
        break;
      case Step::Kind::kClear:
        // The export was durably in place: what it started is finished.
        s = ClearWorkingFileAndHistory();
        break;
    }
    if (!s.ok()) return s;
  }
  return EndStep();
}

}  // namespace

Status FinishInterruptedStep() {
  if (Status s = FinishStepWrittenDown(); !s.ok()) return s;
  // What a step writes for the working file is of no use once no step is under way.
  return RemoveFile(paths::kNewWorkingPieces);
}

}  // namespace tolva
