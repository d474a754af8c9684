// Fuzz target of the parameter-block parser: the input is received block text, assigned
// and merged, then read back through every reader. Checks that serialization is a fixed
// point of assignment and that merging a serialization reproduces its lines.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "pblock/exparam.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

void ReadEverything(CExParam& p) {
    std::string s;
    short count = 0;
    LONG n = 0;
    double d = 0;
    std::vector<BYTE> bytes;
    CBinBuff bin;
    for (const char* key : {"#BEGIN", "#COMMAND_NO", "#A", "#TITLE", "#H", ""}) {
        p.Search(key, s);
        p.Get(key, n);
        p.Get(key, d);
        p.Get(key, bytes);
        p.Get(key, bin);
        Check(bin.GetSize() == static_cast<int>(bytes.size()));
    }
    p.GetCommandNo();
    p.GetAccount(s), p.GetLine(s), p.GetMessageA(s), p.GetPanel(s), p.GetPassword(s);
    p.GetServiceName(s), p.GetProcessName(s), p.GetTitle(s), p.GetIconFile(s), p.GetPath(s);
    p.GetOutputpath(s);
    p.GetBeep(), p.GetButtonAnswer(), p.GetColor(), p.GetDefaultButton(), p.GetModeless();
    p.GetPosition(), p.GetPushedButton(), p.GetWindowType(), p.GetWindowButton();
    for (int r = p.GetOFileFullNameFirst(s, &count), i = 0; r == 1 && i < 10000; r = p.GetOFileFullNameNext(s, &count), ++i) {
    }
    for (int r = p.GetWindowButtonFirst(s), i = 0; r == 1 && i < 10000; r = p.GetWindowButtonNext(s), ++i) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    const char* c = text.c_str();  // stops at the first NUL, as received text would

    CExParam assigned("D:\\OUT", "C:\\IN");
    assigned = c;
    std::string once = static_cast<const char*>(assigned);
    CExParam again;
    again = once.c_str();
    Check(once == static_cast<const char*>(again));
    ReadEverything(assigned);

    // Merging in two pieces at an arbitrary cut equals merging the whole.
    size_t cut = size ? data[0] % (text.size() + 1) : 0;
    CExParam whole, pieces;
    whole.Analyze(c);
    std::string head = std::string(c).substr(0, cut), tail = std::string(c).substr(std::min(cut, std::string(c).size()));
    pieces.Put(head.c_str());
    pieces.Put(tail.c_str());
    Check(std::string(static_cast<const char*>(whole)) == static_cast<const char*>(pieces));
    Check(whole.GetPending() == pieces.GetPending());
    ReadEverything(whole);

    // Merged lines have distinct keys, so a re-merge of the serialization is a fixed point.
    std::string merged = static_cast<const char*>(whole);
    CExParam remerged;
    remerged.Analyze(merged.c_str());
    Check(merged == static_cast<const char*>(remerged));
    return 0;
}
