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
// call fails with EIO, and the crash states are written under IMAGES. When no cut happened (CUT_AT
// beyond the last event), the crash states of the final state are written at unmount instead.
// Either way REPORT receives "events N" and one line per event seen.
//
// The crash states written for one cut, each a copy of the whole mounted tree:
//   durable   - only what was made durable: every pending operation lost (one extreme);
//   live      - everything kept, as after a kill without a power cut (the other extreme);
//   random-N  - for N in 1..kRandomStates, each pending folder operation kept or lost at random,
//               and each file's bytes either its durable or its live ones, at random (seed N and
//               the cut's number, so a failure can be replayed).
// Operations kept from a folder's pending list are applied in their order; one that no longer
// applies (removing an entry whose creation was lost) is skipped. Not every subset is formed: the
// number of subsets grows as 2^n with the pending operations, and the extremes plus random subsets
// catch what the model's corners catch.
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
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kRandomStates = 4;

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
  model.nodes.push_back(Node{kind, {}, {}, {}, {}});
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

// Which pending operations and which files' live bytes one crash state keeps.
struct Choice {
  bool keepAll = false;
  bool random = false;
  std::mt19937 generator;
  bool keep() {
    if (!random) return keepAll;
    return std::bernoulli_distribution(0.5)(generator);
  }
};

struct Image {
  std::map<int, std::map<std::string, int>> entries;  // per folder, as this state has them
  std::map<int, bool> liveBytes;                      // per file
};

Image formImage(Choice& choice) {
  Image image;
  for (int node = 0; node < static_cast<int>(model.nodes.size()); ++node) {
    const Node& self = model.nodes[node];
    if (self.kind == Kind::folder) {
      auto entries = self.durableEntries;
      for (const PendingOp& op : self.pending) {
        if (!choice.keep()) continue;
        if (op.add) {
          entries[op.name] = op.node;
        } else if (auto at = entries.find(op.name); at != entries.end() && at->second == op.node) {
          entries.erase(at);
        }
      }
      image.entries[node] = std::move(entries);
    } else if (self.kind == Kind::file) {
      image.liveBytes[node] = choice.keep();
    }
  }
  return image;
}

void writeImage(const Image& image, const std::map<int, std::string>& live, int node,
                const std::string& target, std::set<int>& onPath) {
  const Node& self = model.nodes[node];
  if (self.kind == Kind::link) {
    [[maybe_unused]] const int made = ::symlink(self.linkText.c_str(), target.c_str());
    return;
  }
  if (self.kind == Kind::file) {
    std::string bytes = self.durableBytes;
    const auto path = live.find(node);
    if (image.liveBytes.at(node) && path != live.end()) {
      const int fd = ::openat(model.backingFd, path->second.c_str(), O_RDONLY | O_NOFOLLOW);
      if (fd >= 0) {
        bytes = readAll(fd);
        ::close(fd);
      }
    }
    std::ofstream(target, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return;
  }
  ::mkdir(target.c_str(), 0755);
  if (!onPath.insert(node).second) return;  // a folder inside itself: only a random state does that
  for (const auto& [name, child] : image.entries.at(node)) {
    writeImage(image, live, child, target + "/" + name, onPath);
  }
  onPath.erase(node);
}

void writeImages() {
  std::map<int, std::string> live;
  livePaths(".", live);
  std::filesystem::create_directories(model.images);
  const auto one = [&](const std::string& name, Choice choice) {
    const Image image = formImage(choice);
    std::set<int> onPath;
    writeImage(image, live, model.root, model.images + "/" + name, onPath);
  };
  one("durable", Choice{false, false, {}});
  one("live", Choice{true, false, {}});
  for (int n = 1; n <= kRandomStates; ++n) {
    one("random-" + std::to_string(n),
        Choice{false, true, std::mt19937(static_cast<unsigned>(n * 100003 + model.events))});
  }
}

void writeReport() {
  std::ofstream out(model.report);
  out << "events " << model.events << "\n";
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
    writeImages();
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
  writeImages();
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
