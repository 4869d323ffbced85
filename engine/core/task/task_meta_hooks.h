// The task's resume-info codec and metainfo parser on top of the bencode,
// torrent and storage libraries. Every engine context installs them.
#pragma once
#include <memory>

#include "engine/core/task/metainfo_source.h"
#include "engine/core/task/resume_info.h"

namespace zl {

std::shared_ptr<ResumeInfoCodec> MakeTaskInfoCodec();
std::shared_ptr<MetainfoParser> MakeTorrentParser();

}  // namespace zl
