// Text to binary conversion of job request records as they arrive from a pipe: any 4096
// bytes. Checks that the binary names stay terminated within their widths, the parameter
// text ends inside the record, and that after one round through binary the header is
// stable (binary to text to binary to text gives the same bytes).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "framework/jobpipedata.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

class Probe : public CJobPipeData {
public:
    using CJobPipeData::CJobPipeData;
    const DATA_REQUEST& Binary() const { return m_DataReq; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ASCII_REQUEST raw;
    std::memset(&raw, ' ', sizeof raw);
    std::memcpy(&raw, data, size < sizeof raw ? size : sizeof raw);

    Probe text(&raw);
    const DATA_REQUEST& bin = text.Binary();
    Check(strnlen(bin.DstNetworkId, 16) <= 15 && strnlen(bin.SrcPcName, 16) <= 15);
    Check(strnlen(bin.DstProcessName, 9) <= 8 && strnlen(bin.SrcProcessName, 9) <= 8);
    Check(std::strlen(text.GetExParam()) <= 3932);
    Check(text.GetStrSJob1().size() == 10);

    DATA_REQUEST first = bin;
    Probe once(&first);
    Probe reparsed(static_cast<const ASCII_REQUEST*>(once));
    DATA_REQUEST second = reparsed.Binary();
    Probe twice(&second);
    Check(std::memcmp(static_cast<const ASCII_REQUEST*>(once), static_cast<const ASCII_REQUEST*>(twice), 4096) == 0);

    CJobPipeData answer = text.Req2Ans(JOB_RESULT_ERROR);
    Check((answer.GetExcl() & JOB_EXCL_ANSWER) != 0 && answer.GetSData1() == 8000);
    return 0;
}
