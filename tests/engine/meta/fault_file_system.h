// A file system in memory that can "cut the power", like the fault-injection
// environments storage engines test with. Every write lands in the live
// state at once; only a completed durability step makes it survive a cut:
// SyncData makes a file's bytes and size durable, SyncDirectory makes the
// names in that folder (creations, renames, removals) durable. A cut throws
// away the rest:
//   kStrict     every unflushed byte and every unflushed name change is lost;
//   kNamesKept  names survive (renames happened) but unflushed bytes do not,
//               as on a file system that commits names before data;
//   kTorn       a random subset of the unflushed writes survives (pages that
//               happened to reach the disk) and the names are either all
//               kept or all lost.
// Folders are durable as soon as they are made.
//
// A test can arm a cut at the n-th durability step (file flush, folder flush,
// rename or removal): the state a cut just before that step would leave is
// kept aside while the program runs on, and RestoreCut() puts it in place
// once the program has been stopped. Handles opened before a cut or restore
// fail every call afterwards, as handles of a process that died.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/meta/file_system.h"

namespace zl::test {

class FaultFileSystem final : public FileSystem {
public:
    enum class Cut { kStrict, kNamesKept, kTorn };

    FaultFileSystem();
    ~FaultFileSystem() override;

    // FileSystem
    std::unique_ptr<FileHandle> Open(const std::string& path, OpenMode mode, bool sequential) override;
    bool Exists(const std::string& path) override;
    bool IsDirectory(const std::string& path) override;
    bool Rename(const std::string& from, const std::string& to) override;
    bool RenameNoReplace(const std::string& from, const std::string& to) override;
    bool Remove(const std::string& path) override;
    bool MakeDirectory(const std::string& dir) override;
    bool SyncDirectory(const std::string& dir) override;
    void MakeWritable(const std::string&) override {}

    // Cuts the power now: the live state becomes what survives.
    void CutPower(Cut mode = Cut::kStrict, uint64_t seed = 1);
    // Arms a cut just before the n-th durability step from now on (1: the next).
    void ArmCut(int64_t step, Cut mode = Cut::kStrict, uint64_t seed = 1);
    bool CutTaken() const;
    // Puts the state kept at the armed cut in place; false when none was taken.
    bool RestoreCut();
    // Durability steps taken since construction.
    int64_t Steps() const;

    // Live content of a file; nullopt when absent.
    std::optional<std::string> Content(const std::string& path) const;
    // Writes a file as if it had been on disk for long (durable, name included).
    void Put(const std::string& path, const std::string& bytes);
    // Every file path, sorted.
    std::vector<std::string> Files() const;

    struct Inode;
    struct State {
        std::map<std::string, std::shared_ptr<Inode>> names;          // live
        std::map<std::string, std::shared_ptr<Inode>> durable_names;  // as the folders were last flushed
        std::set<std::string> folders;
    };

private:
    friend class FaultFile;
    // Counts a durability step; takes the armed cut's picture first.
    void Step();
    State Survivor(Cut mode, uint64_t seed) const;
    void Replace(State state);

    mutable std::mutex mutex_;
    State state_;
    uint64_t generation_ = 1;  // handles of an older generation are dead
    int64_t steps_ = 0;
    int64_t cut_at_ = 0;
    Cut cut_mode_ = Cut::kStrict;
    uint64_t cut_seed_ = 1;
    std::optional<State> cut_state_;
};

}  // namespace zl::test
