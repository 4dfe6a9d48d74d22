#include "media/general_remux.h"

namespace kelvatta {

ErrorOr<void> remuxGeneral(const ExportJob& job, ExportControl&)
{
    return Error{"Export", 1, "文件“" + job.source.filename().string() + "”不是可识别的视频文件"};
}

}  // namespace kelvatta
