#include "tests/engine/meta/fault_file_system.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace zl::test {

// One file's bytes: what reads see, what survives a cut, and the writes in
// between (for torn cuts).
struct FaultFileSystem::Inode {
    struct Write {
        int64_t offset = 0;
        std::string bytes;
        int64_t resize = -1;  // a size change instead of bytes
    };
    std::string data;
    std::string durable;
    std::vector<Write> pending;
    uint64_t mtime = 1;

    void Apply(const Write& w, std::string& target) const {
        if (w.resize >= 0) {
            target.resize(size_t(w.resize), '\0');
            return;
        }
        if (target.size() < size_t(w.offset) + w.bytes.size()) target.resize(size_t(w.offset) + w.bytes.size(), '\0');
        std::memcpy(target.data() + w.offset, w.bytes.data(), w.bytes.size());
    }
    void Record(Write w) {
        Apply(w, data);
        pending.push_back(std::move(w));
        ++mtime;
    }
};

namespace {

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

class FaultFile final : public FileHandle {
public:
    FaultFile(FaultFileSystem& fs, std::shared_ptr<FaultFileSystem::Inode> inode, uint64_t generation, bool writable)
        : fs_(fs), inode_(std::move(inode)), generation_(generation), writable_(writable) {}

    int64_t Size() override {
        std::lock_guard lock(fs_.mutex_);
        return Alive() ? int64_t(inode_->data.size()) : -1;
    }
    int64_t ReadAt(void* buffer, int64_t length, int64_t offset) override {
        std::lock_guard lock(fs_.mutex_);
        if (!Alive() || length < 0 || offset < 0) return -1;
        const int64_t size = int64_t(inode_->data.size());
        const int64_t n = std::max<int64_t>(0, std::min(length, size - offset));
        if (n > 0) std::memcpy(buffer, inode_->data.data() + offset, size_t(n));
        return n;
    }
    int64_t WriteAt(const void* bytes, int64_t length, int64_t offset) override {
        const struct iovec part = {const_cast<void*>(bytes), size_t(length)};
        return WriteVAt(&part, 1, offset);
    }
    int64_t WriteVAt(const struct iovec* parts, int count, int64_t offset) override {
        std::lock_guard lock(fs_.mutex_);
        if (!Alive() || !writable_ || offset < 0) return -1;
        int64_t done = 0;
        for (int i = 0; i < count; ++i) {
            FaultFileSystem::Inode::Write w;
            w.offset = offset + done;
            w.bytes.assign(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
            done += int64_t(parts[i].iov_len);
            inode_->Record(std::move(w));
        }
        return done;
    }
    bool Resize(int64_t size, bool) override {
        std::lock_guard lock(fs_.mutex_);
        if (!Alive() || !writable_ || size < 0) return false;
        FaultFileSystem::Inode::Write w;
        w.resize = size;
        inode_->Record(std::move(w));
        return true;
    }
    void StartWriteback(int64_t, int64_t) override {}
    void WriteBack(int64_t, int64_t) override {}
    bool SyncData() override {
        fs_.Step();
        std::lock_guard lock(fs_.mutex_);
        if (!Alive()) return false;
        inode_->durable = inode_->data;
        inode_->pending.clear();
        return true;
    }
    bool ModifiedTime(uint64_t* filetime) override {
        std::lock_guard lock(fs_.mutex_);
        if (!Alive()) return false;
        *filetime = 130'000'000'000'000'000ULL + inode_->mtime;
        return true;
    }

private:
    bool Alive() const { return generation_ == fs_.generation_; }

    FaultFileSystem& fs_;
    std::shared_ptr<FaultFileSystem::Inode> inode_;
    uint64_t generation_;
    bool writable_;
};

FaultFileSystem::FaultFileSystem() { state_.folders = {"/", "."}; }
FaultFileSystem::~FaultFileSystem() = default;

std::unique_ptr<FileHandle> FaultFileSystem::Open(const std::string& path, OpenMode mode, bool) {
    std::lock_guard lock(mutex_);
    auto it = state_.names.find(path);
    if (it == state_.names.end()) {
        // Like open(2): a missing folder or a folder in the way refuses.
        if (mode == OpenMode::kRead || !state_.folders.count(ParentOf(path)) || state_.folders.count(path))
            return nullptr;
        it = state_.names.emplace(path, std::make_shared<Inode>()).first;
    } else if (mode == OpenMode::kCreate) {
        Inode::Write w;
        w.resize = 0;
        it->second->Record(std::move(w));
    }
    return std::make_unique<FaultFile>(*this, it->second, generation_, mode != OpenMode::kRead);
}

bool FaultFileSystem::Exists(const std::string& path) {
    std::lock_guard lock(mutex_);
    return state_.names.count(path) || state_.folders.count(path);
}

bool FaultFileSystem::IsDirectory(const std::string& path) {
    std::lock_guard lock(mutex_);
    return state_.folders.count(path) != 0;
}

bool FaultFileSystem::Rename(const std::string& from, const std::string& to) {
    Step();
    std::lock_guard lock(mutex_);
    auto it = state_.names.find(from);
    if (it == state_.names.end() || !state_.folders.count(ParentOf(to))) return false;
    std::shared_ptr<Inode> inode = it->second;
    state_.names.erase(it);
    state_.names[to] = std::move(inode);
    return true;
}

bool FaultFileSystem::RenameNoReplace(const std::string& from, const std::string& to) {
    {
        std::lock_guard lock(mutex_);
        if (state_.names.count(to) || state_.folders.count(to)) return false;
    }
    return Rename(from, to);
}

bool FaultFileSystem::Remove(const std::string& path) {
    Step();
    std::lock_guard lock(mutex_);
    return state_.names.erase(path) != 0;
}

bool FaultFileSystem::MakeDirectory(const std::string& dir) {
    std::lock_guard lock(mutex_);
    if (state_.names.count(dir)) return false;
    state_.folders.insert(dir);
    return true;
}

bool FaultFileSystem::SyncDirectory(const std::string& dir) {
    Step();
    std::lock_guard lock(mutex_);
    if (!state_.folders.count(dir)) return false;
    for (auto it = state_.durable_names.begin(); it != state_.durable_names.end();)
        it = ParentOf(it->first) == dir ? state_.durable_names.erase(it) : std::next(it);
    for (const auto& [path, inode] : state_.names)
        if (ParentOf(path) == dir) state_.durable_names[path] = inode;
    return true;
}

void FaultFileSystem::Step() {
    std::lock_guard lock(mutex_);
    ++steps_;
    if (cut_at_ > 0 && steps_ == cut_at_) cut_state_ = Survivor(cut_mode_, cut_seed_);
}

FaultFileSystem::State FaultFileSystem::Survivor(Cut mode, uint64_t seed) const {
    std::mt19937_64 random(seed);
    const bool names_kept = mode == Cut::kNamesKept || (mode == Cut::kTorn && random() % 2 == 0);
    const auto& names = names_kept ? state_.names : state_.durable_names;
    State out;
    out.folders = state_.folders;
    std::map<const Inode*, std::shared_ptr<Inode>> copies;
    for (const auto& [path, inode] : names) {
        std::shared_ptr<Inode>& copy = copies[inode.get()];
        if (!copy) {
            copy = std::make_shared<Inode>();
            copy->data = inode->durable;
            if (mode == Cut::kTorn)
                for (const Inode::Write& w : inode->pending)
                    if (random() % 2 == 0) inode->Apply(w, copy->data);
            copy->durable = copy->data;
            copy->mtime = inode->mtime;
        }
        out.names[path] = copy;
    }
    out.durable_names = out.names;
    return out;
}

void FaultFileSystem::Replace(State state) {
    state_ = std::move(state);
    ++generation_;
}

void FaultFileSystem::CutPower(Cut mode, uint64_t seed) {
    std::lock_guard lock(mutex_);
    Replace(Survivor(mode, seed));
}

void FaultFileSystem::ArmCut(int64_t step, Cut mode, uint64_t seed) {
    std::lock_guard lock(mutex_);
    cut_at_ = steps_ + step;
    cut_mode_ = mode;
    cut_seed_ = seed;
    cut_state_.reset();
}

bool FaultFileSystem::CutTaken() const {
    std::lock_guard lock(mutex_);
    return cut_state_.has_value();
}

bool FaultFileSystem::RestoreCut() {
    std::lock_guard lock(mutex_);
    if (!cut_state_) return false;
    Replace(std::move(*cut_state_));
    cut_state_.reset();
    cut_at_ = 0;
    return true;
}

int64_t FaultFileSystem::Steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
}

std::optional<std::string> FaultFileSystem::Content(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = state_.names.find(path);
    if (it == state_.names.end()) return std::nullopt;
    return it->second->data;
}

void FaultFileSystem::Put(const std::string& path, const std::string& bytes) {
    std::lock_guard lock(mutex_);
    for (std::string folder = ParentOf(path); folder != "/" && folder != "."; folder = ParentOf(folder))
        state_.folders.insert(folder);
    auto inode = std::make_shared<Inode>();
    inode->data = inode->durable = bytes;
    state_.names[path] = inode;
    state_.durable_names[path] = inode;
}

std::vector<std::string> FaultFileSystem::Files() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& entry : state_.names) out.push_back(entry.first);
    return out;
}

}  // namespace zl::test
