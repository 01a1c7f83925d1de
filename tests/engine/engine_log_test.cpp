#include "engine/engine_log.hpp"

extern "C" {
#include <libavutil/error.h>
}

#include <gtest/gtest.h>

#include "engine/isolated_process.hpp"

namespace corvane {
namespace {

TEST(EngineLog, WritesTaggedNormalLinesOnlyWhenValidUtf8) {
  auto run = test::run_isolated([] {
    engine_log(engine_normal, "plain text");
    engine_log(engine_detail, "dropped detail");
    engine_log(engine_normal, EngineTag::kms, "capture side");
    engine_log(engine_normal, EngineTag::kms_vaapi, "vaapi side");
    engine_log(engine_normal, EngineTag::kms_nvenc, "nvenc side");
    engine_log(engine_detail, EngineTag::kms, "dropped too");
    engine_log(engine_normal, EngineTag::kms, "bad \xC3( byte");
    engine_log(engine_normal, "caf\xC3\xA9");
    return 0;
  });
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.log,
            "plain text\n[KMS] capture side\n[KMSVAAPI] vaapi side\n[KMSNVENC] nvenc side\n"
            "caf\xC3\xA9\n");
}

TEST(EngineLog, FfmpegErrorLineNamesTheStepTheTextAndTheNumber) {
  auto run = test::run_isolated([] {
    log_ffmpeg_error("encoder submit", AVERROR(EINVAL));
    log_ffmpeg_error("filter output", AVERROR_EOF);
    return 0;
  });
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.log,
            "[KMS] encoder submit failed: Invalid argument (-22)\n"
            "[KMS] filter output failed: End of file (-541478725)\n");
}

}  // namespace
}  // namespace corvane
