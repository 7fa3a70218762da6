#include "archive/notice_policy.h"

#include <string>

#include "archive/gca_archive.h"

namespace gca {

int32_t AnswerNotice(NoticePolicy policy, uint32_t code, NoticeOutcome& outcome) {
  switch (code) {
    case kNoticeScrambledDirectory:
      if (policy != NoticePolicy::kUpdater) {
        outcome.ScrambledDirectory = true;
        return 0;
      }
      return -1;
    case kNoticeSolidIndex:
      return policy != NoticePolicy::kUpdater ? 0 : -1;
    case kNoticeEntryCrc:
    case kNoticeUnsafeName:
      outcome.Damaged = true;
      outcome.Failed = true;
      return -1;
    case kNoticeCannotCreateDirectory:
    case kNoticeCannotOpenSource:
    case kNoticeBuildReadError:
    case kNoticeBuildWriteError:
      outcome.Failed = true;
      return -1;
    default:
      return -1;
  }
}

void InstallNoticePolicy(GcaArchive* archive, NoticePolicy policy, NoticeOutcome* outcome) {
  archive->SetNoticeCallback([policy, outcome](uint32_t code, const std::string&, GcaArchive*) -> int32_t {
    NoticeOutcome ignored;
    return AnswerNotice(policy, code, outcome != nullptr ? *outcome : ignored);
  });
}

}  // namespace gca
