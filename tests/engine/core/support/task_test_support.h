// Shared pieces of the task and interface tests: descriptor builders, a
// stand-in metainfo parser, and waiting for a worker to end.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/api/engine_context.h"
#include "engine/core/task/metainfo_source.h"
#include "engine/core/task/resume_info.h"
#include "engine/core/task/task_records.h"
#include "engine/core/task/task_work_thread.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_for.h"

namespace zl::test {

// The older name of the sandbox's folder; new tests say TempDir.
using ScratchDir = TempDir;

inline void CopyField(char* field, const std::string& text) {
    std::strncpy(field, text.c_str(), kTaskTextSize - 1);
    field[kTaskTextSize - 1] = '\0';
}

// A descriptor as the application fills it; `sources` must outlive its use.
inline std::unique_ptr<TaskDescriptor> Descriptor(uint32_t flags, const std::string& metainfo, const char* sources,
                                                  const std::string& target, const std::string& resume = "") {
    auto d = std::make_unique<TaskDescriptor>();
    d->flags = flags;
    CopyField(d->metainfo_location, metainfo);
    d->source_list = sources;
    CopyField(d->target, target);
    CopyField(d->resume_path, resume);
    return d;
}

// Accepts any bytes as a torrent of `pieces` pieces of 16 KiB.
class AnyTorrentParser : public MetainfoParser {
public:
    explicit AnyTorrentParser(int32_t pieces) : pieces_(pieces) {}
    bool Parse(std::string_view, ParsedMetainfo& out) override {
        out.name = "package.bin";
        out.piece_count = pieces_;
        out.piece_length = 16384;
        out.total_size = static_cast<uint64_t>(pieces_) * 16384;
        out.info_hash_hex = std::string(40, 'a');
        return true;
    }

private:
    int32_t pieces_;
};

inline TWorkThread* TaskOf(TaskHandle handle) { return dynamic_cast<TWorkThread*>(static_cast<TBaseWork*>(handle)); }

// Waits (in real time, bounded) until the task's worker has ended by itself.
inline bool WaitForWorkerEnd(TaskHandle handle, std::chrono::seconds limit = std::chrono::seconds(30)) {
    return WaitFor([&] { return TaskOf(handle)->GetThreadId() == 0; }, limit);
}

}  // namespace zl::test
