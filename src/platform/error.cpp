#include "platform/error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvatta {

std::string errnoReason(int err)
{
    switch (err) {
    case EACCES:
    case EPERM: return "权限不足";
    case ENOENT: return "文件或文件夹不存在";
    case ENOSPC:
    case EDQUOT: return "磁盘空间不足";
    case EFBIG: return "文件过大，超出文件系统的限制";
    case EIO: return "输入/输出错误";
    case EROFS: return "文件系统为只读";
    case EEXIST: return "文件已存在";
    case EISDIR: return "这是一个文件夹";
    case ENOTDIR: return "路径中的某一部分不是文件夹";
    case ENAMETOOLONG: return "文件名过长";
    case EMFILE:
    case ENFILE: return "打开的文件过多";
    case ENOMEM: return "内存不足";
    case EXDEV: return "不能跨文件系统移动";
    case ENOTEMPTY: return "文件夹不是空的";
    case EBUSY: return "设备或资源忙";
    case ELOOP: return "符号链接层数过多";
    case EINTR: return "操作被中断";
    case ETXTBSY: return "文件正被使用";
    default: break;
    }
    char buf[256];
    // GNU strerror_r returns the text (possibly not in buf).
    return std::string(strerror_r(err, buf, sizeof buf));
}

Error posixError(int err, const std::string& prefix)
{
    return Error{kPosixErrorDomain, err, prefix + errnoReason(err)};
}

void outcomeMisused(const char* what, const Error* error)
{
    std::string line = std::string("kelvatta: programming error: ") + what;
    if (error)
        line += " (" + error->domain + " " + std::to_string(error->code) + ": " + error->localizedDescription + ")";
    std::fprintf(stderr, "%s\n", line.c_str());
    std::abort();
}

}  // namespace kelvatta
