#pragma once
// A file system in memory behind platform::FileSystem, for the per-file sequence without a disk: any call can be made
// to fail, locks held and files kept open by other processes for a while, names taken, letter case ignored; the clock
// moves only when the tool sleeps.

#include <strings.h>

#include <map>
#include <string>
#include <vector>

#include "platform/files.h"

struct FakeFiles final : platform::FileSystem {
  using Handle = platform::Handle;
  using Opened = platform::Opened;
  struct Node {
    bool directory = false;
    std::string bytes;
    std::map<std::string, uint64_t> entries;  // a directory's names
    bool others_access = false;               // another user's file: its access cannot be carried
  };
  struct Open {
    uint64_t node;
    std::size_t position;
    bool lock;
  };

  std::map<uint64_t, Node> nodes{{1, Node{true, {}, {}, false}}};
  std::map<Handle, Open> handles;
  std::map<uint64_t, int64_t> held_until_ms;  // locks other processes hold, until then
  std::map<uint64_t, int64_t> kept_until_ms;  // files other programs keep open, sharing them with nobody
  std::vector<uint64_t> randoms;              // given out first, then 1000, 1001...
  uint64_t next_random = 1000;
  bool ignore_case = false;
  int fail_at = -1;  // the call, counted from 0, that fails
  std::vector<std::string> calls;
  std::vector<uint64_t> synced;
  int64_t now_ms = 0;

  // Makes the file `path` ("d/f.txt") with every directory on the way.
  void add(const std::string& path, const std::string& bytes) {
    uint64_t at = 1;
    for (std::size_t start = 0, slash = 0; slash != std::string::npos; start = slash + 1) {
      slash = path.find('/', start);
      uint64_t& child = nodes[at].entries[path.substr(start, slash - start)];
      if (child == 0) child = nodes.rbegin()->first + 1;
      nodes[child].directory = slash != std::string::npos;
      if (slash == std::string::npos) nodes[child].bytes = bytes;
      at = child;
    }
  }
  // The node `path` leads to, or 0.
  uint64_t find(const std::string& path) {
    uint64_t at = 1;
    for (std::size_t start = 0, slash = 0; at != 0 && slash != std::string::npos; start = slash + 1) {
      slash = path.find('/', start);
      at = entry(at, path.substr(start, slash - start));
    }
    return at;
  }
  // The name in `directory` that `name` leads to, or "".
  std::string stored(uint64_t directory, const std::string& name) {
    for (const auto& entry : nodes[directory].entries) {
      if (entry.first == name || (ignore_case && strcasecmp(entry.first.c_str(), name.c_str()) == 0)) return entry.first;
    }
    return "";
  }
  uint64_t entry(uint64_t directory, const std::string& name) {
    std::string found = stored(directory, name);
    return found.empty() ? 0 : nodes[directory].entries[found];
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
  Node& node_of(Handle handle) { return nodes[handles.at(handle).node]; }
  bool status(uint64_t node, platform::FileStatus* found) {
    using platform::FileKind;
    if (node == 0) return false;
    *found = {{7, node}, nodes[node].directory ? FileKind::Directory : FileKind::Regular, true,
              static_cast<int64_t>(nodes[node].bytes.size()), 0};
    return true;
  }

  Handle open_directory_of(const std::string& name, std::string* base) override {
    std::size_t slash = name.rfind('/');
    uint64_t directory = slash == std::string::npos ? 1 : find(name.substr(0, slash));
    *base = stored(directory, name.substr(slash + 1));  // as the directory spells it
    return fails("open_directory_of") || base->empty() ? platform::kNoHandle : open(directory);
  }
  bool look(Handle directory, const std::string& base, platform::FileStatus* found) override {
    return !fails("look") && status(entry(handles.at(directory).node, base), found);
  }
  bool status_of(Handle file, platform::FileStatus* found) override {
    return !fails("status_of") && status(handles.at(file).node, found);
  }
  bool holds_files_safely(Handle) override { return !fails("holds_files_safely"); }
  platform::Lock try_lock(Handle directory, const std::string& base, const platform::FileId& id,
                          Handle* lock) override {
    if (fails("try_lock")) return platform::Lock::Failed;
    bool held = entry(handles.at(directory).node, base) != id.index || now_ms < held_until_ms[id.index];
    for (const auto& opened : handles) held = held || (opened.second.lock && opened.second.node == id.index);
    if (held) return platform::Lock::Busy;
    *lock = open(id.index, true);
    return platform::Lock::Taken;
  }
  Opened open_file(Handle directory, const std::string& base, Handle, Handle* file) override {
    uint64_t node = entry(handles.at(directory).node, base);
    if (fails("open_file") || node == 0) return Opened::Failed;
    if (now_ms < kept_until_ms[node]) return Opened::Busy;
    *file = open(node);
    return Opened::Yes;
  }
  platform::Created create_exclusive(Handle directory, const std::string& name, Handle, Handle* file) override {
    if (fails("create_exclusive")) return platform::Created::Failed;
    if (entry(handles.at(directory).node, name) != 0) return platform::Created::NameTaken;
    uint64_t node = nodes.rbegin()->first + 1;
    nodes[node] = Node{};
    node_of(directory).entries[name] = node;
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
    handles.at(file).position = 0;
    return !fails("rewind");
  }
  int32_t write(Handle file, const char* bytes, int32_t count) override {
    if (fails("write")) return -1;
    node_of(file).bytes.append(bytes, static_cast<std::size_t>(count));
    return count;
  }
  bool copy_start(Handle from, Handle to, int64_t count) override {
    if (fails("copy_start")) return false;
    node_of(to).bytes = node_of(from).bytes.substr(0, static_cast<std::size_t>(count));
    return true;
  }
  bool flush(Handle) override { return !fails("flush"); }
  platform::Access copy_access(Handle from, Handle) override {
    bool refused = fails("copy_access") || node_of(from).others_access;
    return refused ? platform::Access::NotCarried : platform::Access::Copied;
  }
  Opened move_over(Handle directory, Handle temp, const std::string& temp_name, const std::string& base) override {
    std::map<std::string, uint64_t>& entries = node_of(directory).entries;
    if (fails("move_over") || entries.count(temp_name) == 0) return Opened::Failed;
    entries[base] = handles.at(temp).node;
    entries.erase(temp_name);
    return Opened::Yes;
  }
  void remove(Handle directory, Handle file, const std::string& name) override {
    std::map<std::string, uint64_t>& entries = node_of(directory).entries;
    if (!fails("remove") && entries.count(name) != 0 && entries[name] == handles.at(file).node) entries.erase(name);
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
