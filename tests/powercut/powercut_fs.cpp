// A FUSE file system for the test suite that passes every call through to a backing folder and
// keeps, beside it, what a power cut would leave: the strict persistence model.
//
//   - A file's bytes are durable as of the last fsync/fdatasync of that file.
//   - A folder's entries (creations, mkdir, renames in or out, removals) are durable as of the
//     last fsync of that folder. A rename between two folders is a removal in one and a creation
//     in the other, each made durable by its own folder's fsync.
//   - Nothing else is promised. (The kernel does not pass syncfs/sync on to FUSE, so those never
//     make anything durable here; the program under test does not rely on them.)
//   - At mount, everything already in the backing folder is durable.
//
// Usage: powercut_fs BACKING IMAGES CUT_AT REPORT MOUNTPOINT
//
// Every call that changes a folder or makes something durable (mkdir, create, unlink, rmdir,
// rename, truncate, fsync, fsyncdir) is one event, counted from 0. When event CUT_AT is about to
// happen, the calling process is killed with SIGKILL before the call takes effect, every later
// call fails with EIO, and the crash states are formed under IMAGES. When no cut happened (CUT_AT
// beyond the last event), the crash states of the final state are formed at unmount instead.
// Either way REPORT receives "events N", a line "states D of F every-subset|sampled pending P
// dirty W" and one line per event seen.
//
// What a crash state may differ in: each pending folder operation is kept or lost, and each file
// whose live bytes are not all durable has its durable bytes, its live ones, a front part of the
// live ones (cut short), or the live size with the bytes past that part zero-filled (the size
// reached the disk, the data did not). Operations kept from a folder's pending list are applied in
// their order; one that no longer applies (removing an entry whose creation was lost) is skipped.
// The states formed for one cut:
//   durable   - only what was made durable: every pending operation lost (one extreme);
//   live      - everything kept, as after a kill without a power cut (the other extreme);
//   subset-N  - while there are at most 2^kEverySubsetBits combinations, every one of them, N
//               numbering it (a bit per operation, then two per file; a part stops half way);
//   random-N  - beyond, kSampledStates combinations drawn at random, a part stopping at 0, 1/4,
//               1/2 or 3/4 (seed N and the cut's number, so a failure can be replayed).
// Combinations that come out as the same tree are written once. IMAGES/states lists each state as
// "state NAME", then a line per entry, parents first ("D path", "F blob path", "L hex-text path"),
// then "end"; paths are relative to the mounted root ("." itself). The files' bytes are in
// IMAGES/blobs/<blob>, each stored once (and kept across runs sharing IMAGES).
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

namespace {

// Every combination of what a cut may keep or lose is formed while there are at most 2^12 of
// them: twelve pending folder operations, a file with unflushed bytes counting as two (it has four
// ways to be). Beyond, the two extremes and kSampledStates combinations drawn at random.
constexpr std::size_t kEverySubsetBits = 12;
constexpr int kSampledStates = 300;
constexpr std::size_t kPage = 4096;

enum class Kind { file, folder, link };

struct PendingOp {
  bool add = false;  // a name made to refer to `node`; otherwise the name removed
  std::string name;
  int node = -1;
};

struct Node {
  Kind kind = Kind::file;
  std::string durableBytes;                   // files: as of their last fsync
  std::string linkText;                       // links: fixed when made
  std::map<std::string, int> durableEntries;  // folders: as of their last fsync
  std::vector<PendingOp> pending;             // folders: not yet durable, in order
  std::optional<std::string> bytesWhenRemoved;  // files: their live bytes when their last name went
};

struct Model {
  std::string backing;
  std::string images;
  long cutAt = -1;
  std::string report;
  int backingFd = -1;
  int root = -1;
  std::vector<Node> nodes;
  std::map<ino_t, int> nodeOfInode;  // live backing files and the node each one is
  long events = 0;
  bool cut = false;
  std::vector<std::string> eventLog;
  std::string statesLine;  // how many crash states were formed, for the report
};

Model model;

std::string rel(const char* path) {
  return path[1] == '\0' ? std::string(".") : std::string(path + 1);
}

std::string parentOf(const std::string& relative) {
  const auto slash = relative.rfind('/');
  return slash == std::string::npos ? std::string(".") : relative.substr(0, slash);
}

std::string nameOf(const std::string& relative) {
  const auto slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

bool lstatAt(const std::string& relative, struct stat& info) {
  return ::fstatat(model.backingFd, relative.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

int newNode(Kind kind) {
  model.nodes.push_back(Node{kind, {}, {}, {}, {}, {}});
  return static_cast<int>(model.nodes.size()) - 1;
}

Kind kindOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return Kind::folder;
  if (S_ISLNK(info.st_mode)) return Kind::link;
  return Kind::file;
}

// The node a live backing entry is; one the model has not seen yet (it cannot happen through the
// mount, but a folder's listing may race the model) becomes a node with nothing durable.
int nodeAt(const std::string& relative) {
  struct stat info {};
  if (!lstatAt(relative, info)) return -1;
  const auto found = model.nodeOfInode.find(info.st_ino);
  if (found != model.nodeOfInode.end()) return found->second;
  const int node = newNode(kindOf(info));
  model.nodeOfInode[info.st_ino] = node;
  return node;
}

std::string readAll(int fd) {
  std::string bytes;
  char buffer[1 << 16];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
    if (got <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
  return bytes;
}

// The names in a folder of the backing store, without "." and ".."; nothing when it cannot be read.
std::optional<std::vector<std::string>> backingNamesIn(const std::string& relative) {
  const int fd = ::openat(model.backingFd, relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// Everything in the backing folder at mount time is durable.
void adoptTree(const std::string& relative, int node) {
  Node& self = model.nodes[node];
  if (self.kind == Kind::link) {
    char text[4096];
    const ssize_t length = ::readlinkat(model.backingFd, relative.c_str(), text, sizeof text);
    if (length > 0) model.nodes[node].linkText.assign(text, static_cast<std::size_t>(length));
    return;
  }
  if (self.kind == Kind::file) {
    const int fd = ::openat(model.backingFd, relative.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd >= 0) {
      model.nodes[node].durableBytes = readAll(fd);
      ::close(fd);
    }
    return;
  }
  const std::optional<std::vector<std::string>> names = backingNamesIn(relative);
  if (!names) return;
  for (const std::string& name : *names) {
    const std::string child = relative == "." ? name : relative + "/" + name;
    const int childNode = nodeAt(child);
    if (childNode < 0) continue;
    model.nodes[node].durableEntries[name] = childNode;
    adoptTree(child, childNode);
  }
}

// Where each live node is in the backing folder now (one path per node).
void livePaths(const std::string& relative, std::map<int, std::string>& paths) {
  const int node = nodeAt(relative);
  if (node < 0 || paths.count(node)) return;
  paths[node] = relative;
  if (model.nodes[node].kind != Kind::folder) return;
  const std::optional<std::vector<std::string>> names = backingNamesIn(relative);
  if (!names) return;
  for (const std::string& name : *names) {
    livePaths(relative == "." ? name : relative + "/" + name, paths);
  }
}

// How one crash state has a file whose live bytes were not all made durable. Files here are
// written from their start, so what write-back may have reached is a front part of the live
// bytes: all of them, none, or some, with the size either as far as the data got (cut short) or
// already the live size with the rest never written (zero-filled, as when the size reached the
// disk before the data).
enum class Tail { durable, live, cutShort, zeroFilled };

// Where a cut-short or zero-filled file's live bytes stop, in quarters of its live size; in whole
// pages once the file is a few pages long, as write-back goes.
std::size_t keptBytes(std::size_t size, int quarters) {
  std::size_t kept = size * static_cast<std::size_t>(quarters) / 4;
  if (size >= 4 * kPage) kept -= kept % kPage;
  return kept;
}

// What the crash states of one cut may differ in.
struct Cut {
  std::vector<std::pair<int, std::size_t>> ops;  // each pending folder operation: folder, index
  std::vector<int> dirty;                        // files whose live bytes are not durable
  std::map<int, std::string> live;               // every file's live bytes
};

// One crash state: which pending operations it keeps and how it has each dirty file.
struct Choice {
  std::vector<bool> keep;         // per operation of Cut::ops
  std::vector<Tail> tails;        // per file of Cut::dirty
  std::vector<int> keptQuarters;  // ... and where a cut-short or zero-filled one stops
};

Choice uniform(const Cut& cut, bool keepAll) {
  return Choice{std::vector<bool>(cut.ops.size(), keepAll),
                std::vector<Tail>(cut.dirty.size(), keepAll ? Tail::live : Tail::durable),
                std::vector<int>(cut.dirty.size(), 2)};
}

// The combination numbered `index`: a bit per operation, then a digit of four per dirty file.
Choice numbered(const Cut& cut, std::uint64_t index) {
  Choice choice = uniform(cut, false);
  for (std::size_t i = 0; i < cut.ops.size(); ++i, index >>= 1) choice.keep[i] = index & 1;
  for (std::size_t i = 0; i < cut.dirty.size(); ++i, index >>= 2) {
    choice.tails[i] = static_cast<Tail>(index & 3);
  }
  return choice;
}

Choice drawn(const Cut& cut, std::mt19937& generator) {
  Choice choice = uniform(cut, false);
  std::uniform_int_distribution<int> four(0, 3);
  for (std::size_t i = 0; i < cut.ops.size(); ++i) choice.keep[i] = four(generator) < 2;
  for (std::size_t i = 0; i < cut.dirty.size(); ++i) {
    choice.tails[i] = static_cast<Tail>(four(generator));
    choice.keptQuarters[i] = four(generator);
  }
  return choice;
}

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

// The file contents of the crash states, each stored once under IMAGES/blobs and named by its
// size and FNV-1a hash, so that thousands of states cost a line each and not a copy of every file.
class Blobs {
 public:
  explicit Blobs(std::string folder) : m_folder(std::move(folder)) {
    std::filesystem::create_directories(m_folder);
  }

  const std::string& of(const Cut& cut, int node, Tail tail, int keptQuarters) {
    const auto key = std::tuple(node, tail, tail == Tail::cutShort || tail == Tail::zeroFilled
                                                ? keptQuarters
                                                : 0);
    const auto found = m_names.find(key);
    if (found != m_names.end()) return found->second;
    const std::string& live = cut.live.at(node);
    std::string bytes;
    switch (tail) {
      case Tail::durable:
        bytes = model.nodes[node].durableBytes;
        break;
      case Tail::live:
        bytes = live;
        break;
      case Tail::cutShort:
        bytes = live.substr(0, keptBytes(live.size(), keptQuarters));
        break;
      case Tail::zeroFilled:
        bytes = live.substr(0, keptBytes(live.size(), keptQuarters));
        bytes.resize(live.size(), '\0');
        break;
    }
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    const std::string name = std::to_string(bytes.size()) + "-" + hex(hash);
    const std::string path = m_folder + "/" + name;
    if (!std::filesystem::exists(path)) {
      std::ofstream(path + ".part", std::ios::binary)
          .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      std::filesystem::rename(path + ".part", path);
    }
    return m_names[key] = name;
  }

 private:
  std::string m_folder;
  std::map<std::tuple<int, Tail, int>, std::string> m_names;
};

// One crash state as lines, parents before children: "D path", "F blob path", "L hex-text path".
std::string listing(const Cut& cut, const Choice& choice, Blobs& blobs) {
  std::map<int, std::map<std::string, int>> entries;
  std::size_t op = 0;
  for (int node = 0; node < static_cast<int>(model.nodes.size()); ++node) {
    const Node& self = model.nodes[node];
    if (self.kind != Kind::folder) continue;
    auto& kept = entries[node] = self.durableEntries;
    for (std::size_t i = 0; i < self.pending.size(); ++i, ++op) {
      const PendingOp& pending = self.pending[i];
      if (!choice.keep[op]) continue;
      if (pending.add) {
        kept[pending.name] = pending.node;
      } else if (auto at = kept.find(pending.name); at != kept.end() && at->second == pending.node) {
        kept.erase(at);
      }
    }
  }
  std::map<int, std::size_t> dirtyAt;
  for (std::size_t i = 0; i < cut.dirty.size(); ++i) dirtyAt[cut.dirty[i]] = i;

  std::string lines;
  std::set<int> onPath;
  const std::function<void(int, const std::string&)> walk = [&](int node, const std::string& path) {
    const Node& self = model.nodes[node];
    if (self.kind == Kind::link) {
      std::string text;
      for (const char c : self.linkText) text += hex(static_cast<unsigned char>(c)).substr(14);
      lines += "L " + text + " " + path + "\n";
      return;
    }
    if (self.kind == Kind::file) {
      const auto dirty = dirtyAt.find(node);
      const std::string& blob =
          dirty == dirtyAt.end()
              ? blobs.of(cut, node, Tail::durable, 0)
              : blobs.of(cut, node, choice.tails[dirty->second], choice.keptQuarters[dirty->second]);
      lines += "F " + blob + " " + path + "\n";
      return;
    }
    lines += "D " + path + "\n";
    if (!onPath.insert(node).second) return;  // a folder inside itself: a subset may do that
    for (const auto& [name, child] : entries.at(node)) {
      walk(child, path == "." ? name : path + "/" + name);
    }
    onPath.erase(node);
  };
  walk(model.root, ".");
  return lines;
}

// Forms the crash states of the cut (or of the end of the run) into IMAGES/states, each distinct
// one once, and says in the report how many there are.
void writeStates() {
  Cut cut;
  std::map<int, std::string> live;
  livePaths(".", live);
  for (int node = 0; node < static_cast<int>(model.nodes.size()); ++node) {
    Node& self = model.nodes[node];
    if (self.kind == Kind::folder) {
      for (std::size_t i = 0; i < self.pending.size(); ++i) cut.ops.emplace_back(node, i);
    }
    if (self.kind != Kind::file) continue;
    std::string bytes = self.bytesWhenRemoved.value_or(self.durableBytes);
    if (const auto path = live.find(node); path != live.end()) {
      const int fd = ::openat(model.backingFd, path->second.c_str(), O_RDONLY | O_NOFOLLOW);
      if (fd >= 0) {
        bytes = readAll(fd);
        ::close(fd);
      }
    }
    if (bytes != self.durableBytes) cut.dirty.push_back(node);
    cut.live[node] = std::move(bytes);
  }

  Blobs blobs(model.images + "/blobs");
  std::ofstream states(model.images + "/states", std::ios::binary);
  std::unordered_set<std::string> seen;
  long formed = 0;
  const auto form = [&](const std::string& name, const Choice& choice) {
    ++formed;
    std::string lines = listing(cut, choice, blobs);
    if (!seen.insert(lines).second) return;
    states << "state " << name << "\n" << lines << "end\n";
  };
  form("durable", uniform(cut, false));
  form("live", uniform(cut, true));
  const std::size_t choiceBits = cut.ops.size() + 2 * cut.dirty.size();
  const bool everySubset = choiceBits <= kEverySubsetBits;
  if (everySubset) {
    for (std::uint64_t index = 0; index < (std::uint64_t{1} << choiceBits); ++index) {
      form("subset-" + std::to_string(index), numbered(cut, index));
    }
  } else {
    for (int n = 1; n <= kSampledStates; ++n) {
      std::mt19937 generator(static_cast<unsigned>(n * 100003 + model.events));
      form("random-" + std::to_string(n), drawn(cut, generator));
    }
  }
  model.statesLine = "states " + std::to_string(seen.size()) + " of " + std::to_string(formed) +
                     (everySubset ? " every-subset" : " sampled") + " pending " +
                     std::to_string(cut.ops.size()) + " dirty " + std::to_string(cut.dirty.size());
}

void writeReport() {
  std::ofstream out(model.report);
  out << "events " << model.events << "\n";
  if (!model.statesLine.empty()) out << model.statesLine << "\n";
  for (const std::string& line : model.eventLog) out << line << "\n";
}

// Counts one event; at the cut, kills the caller before the call takes effect and forms the
// crash states. Answers whether the call may go ahead.
bool event(const std::string& what) {
  if (model.cut) return false;
  if (model.events == model.cutAt) {
    const pid_t caller = fuse_get_context()->pid;
    if (caller > 0) ::kill(caller, SIGKILL);
    model.cut = true;
    model.eventLog.push_back("cut before: " + what);
    writeStates();
    writeReport();
    return false;
  }
  model.eventLog.push_back(what);
  ++model.events;
  return true;
}

void added(const std::string& relative) {
  struct stat info {};
  if (!lstatAt(relative, info)) return;
  const int node = newNode(kindOf(info));
  model.nodeOfInode[info.st_ino] = node;
  if (model.nodes[node].kind == Kind::link) {
    char text[4096];
    const ssize_t length = ::readlinkat(model.backingFd, relative.c_str(), text, sizeof text);
    if (length > 0) model.nodes[node].linkText.assign(text, static_cast<std::size_t>(length));
  }
  const int parent = nodeAt(parentOf(relative));
  if (parent >= 0) model.nodes[parent].pending.push_back(PendingOp{true, nameOf(relative), node});
}

// Before a removal or a replacing rename: the node leaving, and whether its inode goes with it.
struct Leaving {
  int node = -1;
  ino_t inode = 0;
  bool last = false;
};

Leaving leaving(const std::string& relative) {
  struct stat info {};
  if (!lstatAt(relative, info)) return {};
  return Leaving{nodeAt(relative), info.st_ino, S_ISDIR(info.st_mode) || info.st_nlink <= 1};
}

// A file whose last name goes keeps its live bytes in the model: a crash state that loses the
// removal has the file back, with whatever of them had reached the disk.
void keepBytesOf(const std::string& relative, const Leaving& gone) {
  if (gone.node < 0 || !gone.last || model.nodes[gone.node].kind != Kind::file) return;
  const int fd = ::openat(model.backingFd, relative.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return;
  model.nodes[gone.node].bytesWhenRemoved = readAll(fd);
  ::close(fd);
}

void removed(const std::string& relative, const Leaving& gone) {
  if (gone.node < 0) return;
  const int parent = nodeAt(parentOf(relative));
  if (parent >= 0)
    model.nodes[parent].pending.push_back(PendingOp{false, nameOf(relative), gone.node});
  // The backing file system may give the inode to a new file: that one is a new node.
  if (gone.last) model.nodeOfInode.erase(gone.inode);
}

int fail() { return -errno; }

int doGetattr(const char* path, struct stat* info, fuse_file_info* fi) {
  if (fi) return ::fstat(static_cast<int>(fi->fh), info) == 0 ? 0 : fail();
  return ::fstatat(model.backingFd, rel(path).c_str(), info, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
}

int doReadlink(const char* path, char* buffer, size_t size) {
  const ssize_t length = ::readlinkat(model.backingFd, rel(path).c_str(), buffer, size - 1);
  if (length < 0) return fail();
  buffer[length] = '\0';
  return 0;
}

int doMkdir(const char* path, mode_t mode) {
  if (!event("mkdir " + rel(path))) return -EIO;
  if (::mkdirat(model.backingFd, rel(path).c_str(), mode) != 0) return fail();
  added(rel(path));
  return 0;
}

int doSymlink(const char* text, const char* path) {
  if (!event("symlink " + rel(path))) return -EIO;
  if (::symlinkat(text, model.backingFd, rel(path).c_str()) != 0) return fail();
  added(rel(path));
  return 0;
}

int doUnlink(const char* path) {
  if (!event("unlink " + rel(path))) return -EIO;
  const Leaving gone = leaving(rel(path));
  keepBytesOf(rel(path), gone);
  if (::unlinkat(model.backingFd, rel(path).c_str(), 0) != 0) return fail();
  removed(rel(path), gone);
  return 0;
}

int doRmdir(const char* path) {
  if (!event("rmdir " + rel(path))) return -EIO;
  const Leaving gone = leaving(rel(path));
  if (::unlinkat(model.backingFd, rel(path).c_str(), AT_REMOVEDIR) != 0) return fail();
  removed(rel(path), gone);
  return 0;
}

int doRename(const char* from, const char* to, unsigned int flags) {
  if (flags & RENAME_EXCHANGE) return -EINVAL;
  if (!event("rename " + rel(from) + " -> " + rel(to))) return -EIO;
  const Leaving moving = leaving(rel(from));
  const Leaving replaced = leaving(rel(to));
  if (replaced.inode != moving.inode) keepBytesOf(rel(to), replaced);
  if (::renameat2(model.backingFd, rel(from).c_str(), model.backingFd, rel(to).c_str(), flags) !=
      0) {
    return fail();
  }
  const int fromParent = nodeAt(parentOf(rel(from)));
  const int toParent = nodeAt(parentOf(rel(to)));
  if (fromParent >= 0) {
    model.nodes[fromParent].pending.push_back(PendingOp{false, nameOf(rel(from)), moving.node});
  }
  if (toParent >= 0) {
    model.nodes[toParent].pending.push_back(PendingOp{true, nameOf(rel(to)), moving.node});
  }
  if (replaced.node >= 0 && replaced.last && replaced.inode != moving.inode) {
    model.nodeOfInode.erase(replaced.inode);
  }
  return 0;
}

int doChmod(const char* path, mode_t mode, fuse_file_info* fi) {
  if (model.cut) return -EIO;
  if (fi) return ::fchmod(static_cast<int>(fi->fh), mode) == 0 ? 0 : fail();
  return ::fchmodat(model.backingFd, rel(path).c_str(), mode, 0) == 0 ? 0 : fail();
}

int doChown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  if (model.cut) return -EIO;
  if (fi) return ::fchown(static_cast<int>(fi->fh), uid, gid) == 0 ? 0 : fail();
  return ::fchownat(model.backingFd, rel(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0
             ? 0
             : fail();
}

int doTruncate(const char* path, off_t size, fuse_file_info* fi) {
  if (!event("truncate " + rel(path))) return -EIO;
  if (fi) return ::ftruncate(static_cast<int>(fi->fh), size) == 0 ? 0 : fail();
  const int fd = ::openat(model.backingFd, rel(path).c_str(), O_WRONLY | O_NOFOLLOW);
  if (fd < 0) return fail();
  const int rc = ::ftruncate(fd, size);
  const int error = errno;
  ::close(fd);
  return rc == 0 ? 0 : -error;
}

int doUtimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  if (model.cut) return -EIO;
  if (fi) return ::futimens(static_cast<int>(fi->fh), times) == 0 ? 0 : fail();
  return ::utimensat(model.backingFd, rel(path).c_str(), times, AT_SYMLINK_NOFOLLOW) == 0 ? 0
                                                                                          : fail();
}

int doOpen(const char* path, fuse_file_info* fi) {
  if (model.cut && (fi->flags & O_ACCMODE) != O_RDONLY) return -EIO;
  if ((fi->flags & O_TRUNC) && !event("truncate " + rel(path))) return -EIO;
  const int fd = ::openat(model.backingFd, rel(path).c_str(), fi->flags & ~O_NOFOLLOW);
  if (fd < 0) return fail();
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int doCreate(const char* path, mode_t mode, fuse_file_info* fi) {
  if (!event("create " + rel(path))) return -EIO;
  const int fd = ::openat(model.backingFd, rel(path).c_str(), fi->flags | O_CREAT, mode);
  if (fd < 0) return fail();
  fi->fh = static_cast<uint64_t>(fd);
  added(rel(path));
  return 0;
}

int doRead(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  const ssize_t got = ::pread(static_cast<int>(fi->fh), buffer, size, offset);
  return got < 0 ? fail() : static_cast<int>(got);
}

int doWrite(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  if (model.cut) return -EIO;
  const ssize_t put = ::pwrite(static_cast<int>(fi->fh), buffer, size, offset);
  return put < 0 ? fail() : static_cast<int>(put);
}

int doStatfs(const char*, struct statvfs* info) {
  return ::fstatvfs(model.backingFd, info) == 0 ? 0 : fail();
}

int doRelease(const char*, fuse_file_info* fi) {
  ::close(static_cast<int>(fi->fh));
  return 0;
}

// The model's node behind an open descriptor (the map's end for a node the model does not know);
// nothing when the descriptor cannot be looked at.
std::optional<decltype(model.nodeOfInode)::iterator> modelNodeOf(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return model.nodeOfInode.find(info.st_ino);
}

int doFsync(const char* path, int, fuse_file_info* fi) {
  if (!event("fsync " + rel(path))) return -EIO;
  const auto found = modelNodeOf(static_cast<int>(fi->fh));
  if (!found) return fail();
  if (*found == model.nodeOfInode.end()) return 0;
  // The caller's descriptor may be open for writing only: the bytes are read through one of our
  // own.
  const std::string self = "/proc/self/fd/" + std::to_string(fi->fh);
  const int reader = ::open(self.c_str(), O_RDONLY);
  if (reader < 0) return fail();
  model.nodes[(*found)->second].durableBytes = readAll(reader);
  ::close(reader);
  return 0;
}

int doOpendir(const char* path, fuse_file_info* fi) {
  const int fd = ::openat(model.backingFd, rel(path).c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return fail();
  fi->fh = static_cast<uint64_t>(fd);
  return 0;
}

int doReaddir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
              fuse_readdir_flags) {
  const int fd = ::dup(static_cast<int>(fi->fh));
  if (fd < 0) return fail();
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return fail();
  }
  ::rewinddir(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
  }
  ::closedir(dir);
  return 0;
}

int doReleasedir(const char*, fuse_file_info* fi) {
  ::close(static_cast<int>(fi->fh));
  return 0;
}

int doFsyncdir(const char* path, int, fuse_file_info* fi) {
  if (!event("fsyncdir " + rel(path))) return -EIO;
  const auto found = modelNodeOf(static_cast<int>(fi->fh));
  if (!found) return fail();
  if (*found == model.nodeOfInode.end()) return 0;
  Node& folder = model.nodes[(*found)->second];
  for (const PendingOp& op : folder.pending) {
    if (op.add) {
      folder.durableEntries[op.name] = op.node;
    } else if (auto at = folder.durableEntries.find(op.name);
               at != folder.durableEntries.end() && at->second == op.node) {
      folder.durableEntries.erase(at);
    }
  }
  folder.pending.clear();
  return 0;
}

void* doInit(fuse_conn_info*, fuse_config* config) {
  // Every call reaches the model: nothing cached, and a removed open file is removed at once
  // rather than hidden under another name.
  config->entry_timeout = 0;
  config->attr_timeout = 0;
  config->negative_timeout = 0;
  config->hard_remove = 1;
  config->use_ino = 0;
  std::printf("ready\n");
  std::fflush(stdout);
  return nullptr;
}

void doDestroy(void*) {
  if (model.cut) return;
  writeStates();
  writeReport();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s BACKING IMAGES CUT_AT REPORT MOUNTPOINT\n", argv[0]);
    return 2;
  }
  model.backing = argv[1];
  model.images = argv[2];
  model.cutAt = std::stol(argv[3]);
  model.report = argv[4];
  model.backingFd = ::open(model.backing.c_str(), O_RDONLY | O_DIRECTORY);
  if (model.backingFd < 0) {
    std::perror(argv[1]);
    return 2;
  }
  model.root = nodeAt(".");
  adoptTree(".", model.root);

  fuse_operations operations{};
  operations.getattr = doGetattr;
  operations.readlink = doReadlink;
  operations.mkdir = doMkdir;
  operations.symlink = doSymlink;
  operations.unlink = doUnlink;
  operations.rmdir = doRmdir;
  operations.rename = doRename;
  operations.chmod = doChmod;
  operations.chown = doChown;
  operations.truncate = doTruncate;
  operations.utimens = doUtimens;
  operations.open = doOpen;
  operations.create = doCreate;
  operations.read = doRead;
  operations.write = doWrite;
  operations.statfs = doStatfs;
  operations.release = doRelease;
  operations.fsync = doFsync;
  operations.opendir = doOpendir;
  operations.readdir = doReaddir;
  operations.releasedir = doReleasedir;
  operations.fsyncdir = doFsyncdir;
  operations.init = doInit;
  operations.destroy = doDestroy;

  // Foreground and single-threaded: one call at a time, so the model never sees two at once and
  // a cut happens between two calls, never inside one. The kernel checks permissions as it would
  // on a disk.
  std::vector<char*> fuseArgs = {argv[0],
                                 argv[5],
                                 const_cast<char*>("-f"),
                                 const_cast<char*>("-s"),
                                 const_cast<char*>("-o"),
                                 const_cast<char*>("default_permissions,fsname=powercut")};
  return fuse_main(static_cast<int>(fuseArgs.size()), fuseArgs.data(), &operations, nullptr);
}
