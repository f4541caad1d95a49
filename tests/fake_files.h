#pragma once
// A file system in memory behind platform::FileSystem, for the per-file sequence without a disk: any call can be made
// to fail, locks can be held by other processes for a while, names can be taken, and the clock moves only when the
// tool sleeps.

#include <map>
#include <string>
#include <vector>

#include "platform/files.h"

struct FakeFiles final : platform::FileSystem {
  using Handle = platform::Handle;
  struct Node {
    platform::FileKind kind = platform::FileKind::Regular;
    std::string bytes;
    std::map<std::string, uint64_t> entries;  // a directory's names
    bool writable = true;
    bool others_access = false;  // another user's file: its access cannot be carried
  };
  struct Open {
    uint64_t node;
    std::size_t position;
    bool lock;
  };

  std::map<uint64_t, Node> nodes{{1, Node{platform::FileKind::Directory, {}, {}, true, false}}};
  std::map<Handle, Open> handles;
  std::map<uint64_t, int64_t> held_until_ms;  // locks other processes hold, until then
  std::map<uint64_t, int64_t> kept_until_ms;  // files other programs keep open, refusing to share them
  std::vector<uint64_t> randoms;              // given out first, then 1000, 1001...
  bool ignore_case = false;
  int fail_at = -1;  // the call, counted from 0, that fails
  std::vector<std::string> calls;
  std::vector<uint64_t> synced;
  int64_t now_ms = 0;
  uint64_t next_random = 1000;

  // Makes `path` ("d/f.txt") with every directory on the way.
  void add(const std::string& path, const std::string& bytes, bool is_directory = false) {
    uint64_t at = 1;
    for (std::size_t start = 0;;) {
      std::size_t slash = path.find('/', start);
      std::string name = path.substr(start, slash - start);
      bool last = slash == std::string::npos;
      uint64_t& child = nodes[at].entries[name];
      if (child == 0) {
        child = nodes.rbegin()->first + 1;
        bool directory = !last || is_directory;
        nodes[child] = Node{directory ? platform::FileKind::Directory : platform::FileKind::Regular, bytes, {}, true,
                            false};
      }
      if (last) return;
      at = child;
      start = slash + 1;
    }
  }
  // The node `path` leads to, or 0.
  uint64_t find(const std::string& path) {
    uint64_t at = 1;
    for (std::size_t start = 0; at != 0;) {
      std::size_t slash = path.find('/', start);
      at = entry(at, path.substr(start, slash - start));
      if (slash == std::string::npos) return at;
      start = slash + 1;
    }
    return 0;
  }
  uint64_t entry(uint64_t directory, const std::string& name) {
    for (const auto& [entry_name, node] : nodes[directory].entries) {
      if (entry_name == name || (ignore_case && same_ignoring_case(entry_name, name))) return node;
    }
    return 0;
  }
  static bool same_ignoring_case(const std::string& a, const std::string& b) {
    auto lower = [](std::string s) {
      for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      return s;
    };
    return lower(a) == lower(b);
  }
  std::vector<std::string> list(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& named : nodes[find(directory)].entries) names.push_back(named.first);
    return names;
  }

  bool fails(const char* call) {
    calls.emplace_back(call);
    return static_cast<int>(calls.size()) - 1 == fail_at;
  }
  Handle open(uint64_t node, bool lock = false) {
    Handle handle = handles.empty() ? 3 : handles.rbegin()->first + 1;
    handles[handle] = Open{node, 0, lock};
    return handle;
  }
  platform::FileStatus status(uint64_t index) {
    const Node& node = nodes[index];
    return {{7, index}, node.kind, node.writable, static_cast<int64_t>(node.bytes.size()), 0};
  }
  Node& node_of(Handle handle) { return nodes[handles.at(handle).node]; }

  Handle open_directory_of(const std::string& name, std::string* base) override {
    std::size_t slash = name.rfind('/');
    uint64_t directory = slash == std::string::npos ? 1 : find(name.substr(0, slash));
    *base = name.substr(slash + 1);
    if (fails("open_directory_of") || directory == 0 || entry(directory, *base) == 0) return platform::kNoHandle;
    for (const auto& named : nodes[directory].entries) {
      if (named.second == entry(directory, *base)) *base = named.first;  // as the directory spells it
    }
    return open(directory);
  }
  bool look(Handle directory, const std::string& base, platform::FileStatus* found) override {
    uint64_t node = entry(handles.at(directory).node, base);
    if (fails("look") || node == 0) return false;
    *found = status(node);
    return true;
  }
  bool status_of(Handle file, platform::FileStatus* found) override {
    if (fails("status_of")) return false;
    *found = status(handles.at(file).node);
    return true;
  }
  bool holds_files_safely(Handle) override { return !fails("holds_files_safely"); }
  platform::Lock try_lock(Handle directory, const std::string& base, const platform::FileId& id,
                          Handle* lock) override {
    if (fails("try_lock")) return platform::Lock::Failed;
    auto held = held_until_ms.find(id.index);
    if (entry(handles.at(directory).node, base) != id.index || (held != held_until_ms.end() && now_ms < held->second)) {
      return platform::Lock::Busy;
    }
    for (const auto& opened : handles) {
      if (opened.second.lock && opened.second.node == id.index) return platform::Lock::Busy;
    }
    *lock = open(id.index, true);
    return platform::Lock::Taken;
  }
  platform::Opened open_file(Handle directory, const std::string& base, Handle, Handle* file) override {
    uint64_t node = entry(handles.at(directory).node, base);
    if (fails("open_file") || node == 0) return platform::Opened::Failed;
    if (kept_until_ms.count(node) != 0 && now_ms < kept_until_ms[node]) return platform::Opened::Busy;
    *file = open(node);
    return platform::Opened::Yes;
  }
  platform::Created create_exclusive(Handle directory, const std::string& name, Handle, Handle* file) override {
    if (fails("create_exclusive")) return platform::Created::Failed;
    uint64_t at = handles.at(directory).node;
    if (entry(at, name) != 0) return platform::Created::NameTaken;
    uint64_t node = nodes.rbegin()->first + 1;
    nodes[node] = Node{};
    nodes[at].entries[name] = node;
    *file = open(node);
    return platform::Created::Yes;
  }
  Handle open_rule_file(const std::string&, int*) override { return platform::kNoHandle; }
  int32_t read(Handle file, char* buffer, int32_t size) override {
    if (fails("read")) return -1;
    Open& opened = handles.at(file);
    std::size_t count = nodes[opened.node].bytes.copy(buffer, static_cast<std::size_t>(size), opened.position);
    opened.position += count;
    return static_cast<int32_t>(count);
  }
  bool rewind(Handle file) override {
    if (fails("rewind")) return false;
    handles.at(file).position = 0;
    return true;
  }
  bool write(Handle file, const char* bytes, int32_t count) override {
    if (fails("write")) return false;
    node_of(file).bytes.append(bytes, static_cast<std::size_t>(count));
    return true;
  }
  bool copy_start(Handle from, Handle to, int64_t count) override {
    if (fails("copy_start")) return false;
    node_of(to).bytes = node_of(from).bytes.substr(0, static_cast<std::size_t>(count));
    return true;
  }
  bool flush(Handle) override { return !fails("flush"); }
  platform::Access copy_access(Handle from, Handle) override {
    return fails("copy_access") || node_of(from).others_access ? platform::Access::NotCarried
                                                               : platform::Access::Copied;
  }
  platform::Opened move_over(Handle directory, Handle temp, const std::string& temp_name,
                             const std::string& base) override {
    Node& at = node_of(directory);
    if (fails("move_over") || at.entries.count(temp_name) == 0) return platform::Opened::Failed;
    at.entries[base] = handles.at(temp).node;
    at.entries.erase(temp_name);
    return platform::Opened::Yes;
  }
  void remove(Handle directory, Handle file, const std::string& name) override {
    Node& at = node_of(directory);
    if (!fails("remove") && at.entries.count(name) != 0 && at.entries[name] == handles.at(file).node) {
      at.entries.erase(name);
    }
  }
  bool sync_directory(Handle directory) override {
    synced.push_back(handles.at(directory).node);
    return !fails("sync_directory");
  }
  void close(Handle handle) override { handles.erase(handle); }
  void sleep_ms(int milliseconds) override { now_ms += milliseconds; }
  int64_t wall_clock_ns() override { return now_ms * 1'000'000; }
  uint64_t random() override {
    if (randoms.empty()) return next_random++;
    uint64_t number = randoms.front();
    randoms.erase(randoms.begin());
    return number;
  }
};
