// Parameter blocks built, merged, parsed and searched, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pblock/exparam.h"

namespace {

std::string Text(CExParam& p) { return static_cast<const char*>(p); }

TEST(ExParamBuild, BeginTitleEnd) {
    CExParam p;
    p.Begin(1);
    p.PutTitle("abc");
    p.End();
    EXPECT_EQ(Text(p), "#BEGIN\n#COMMAND_NO=0001\n#TITLE=\"abc\"\n#END\n");
    EXPECT_EQ(p.GetCommandNo(), 1);
}

TEST(ExParamBuild, BeginDiscardsAndAddsFpId) {
    CExParam p;
    p.Put("#OLD", 7);
    p.Put("#HALF=");  // a pending line is lost too
    p.Begin(12, 5, 3);
    EXPECT_EQ(Text(p), "#BEGIN\n#COMMAND_NO=0012\n#FP_ID=03\n");
    EXPECT_EQ(p.GetFileSeq(), 5);
    p.Begin();
    EXPECT_EQ(Text(p), "#BEGIN\n");
}

TEST(ExParamBuild, GenericWriters) {
    CExParam p;
    p.Put("#S", "text");
    p.Put("#N", -42);
    p.Put("#D", 12345.6);
    p.Put("#B", std::vector<BYTE>{0x0a, 0xbc, 0xff});
    p.PutOption(3, 9);
    EXPECT_EQ(Text(p), "#S=text\n#N=-42\n#D=        12346\n#B=0abcff\n#OPTION3=9\n");
}

TEST(ExParamBuild, StandardWriters) {
    CExParam p("D:\\OUT", "C:\\IN\\");
    LONG code = 5, end = -1;
    p.PutCode(&code, nullptr, &end);
    p.PutColor(14);
    p.PutIconFile("i.ico");
    p.PutMessage("hi", 7);
    p.PutPath("C:\\x");
    short ids[] = {1, 0x1f, -2, -1};
    p.PutTmId(ids);
    p.PutWindowStyle(0x1 | 0x30 | 0x100);
    p.PutTitle(nullptr);
    // The icon line of the window style replaced the input-path one in place.
    EXPECT_EQ(Text(p),
              "#CODE=5\n#START_CODE=\n#END_CODE=-1\n#COLOR=YELLOW\n#ICON_FILE=MB_ICONEXCLAMATION\n"
              "#MESSAGE=\"hi\", 7\n#PATH=C:\\x\n#TERMINAL_ID=01,1f,fffffffe\n"
              "#WINDOW_BUTTON=MB_OKCANCEL\n#DEFAULT_BUTTON=2\n");
    std::string icon;
    EXPECT_EQ(p.GetIconFile(icon), 0);
    EXPECT_EQ(icon, "MB_ICONEXCLAMATION");
    EXPECT_EQ(p.GetWindowButton(), 1);
    EXPECT_EQ(p.GetDefaultButton(), 2);
    EXPECT_EQ(p.GetColor(), 14);
}

TEST(ExParamBuild, InputFileWithoutNumbers) {
    CExParam p(nullptr, "C:\\IN");
    p.PutInputFile();
    EXPECT_EQ(Text(p), "#INPUT_PATH=C:\\IN\\\n#INPUT_FILE=in-001.ffffffff\n");
}

TEST(ExParamMerge, PutReplacesInPlace) {
    CExParam p;
    p.Put("#A", 1);
    p.Put("#B", 3);
    p.Put("#A", 2);
    EXPECT_EQ(Text(p), "#A=2\n#B=3\n");
    p.End();
    p.Put("#C", 4);
    EXPECT_EQ(Text(p), "#A=2\n#B=3\n#END\n#C=4\n");
}

TEST(ExParamMerge, PendingLineWaitsForLf) {
    CExParam p;
    p += "#X=1";
    EXPECT_EQ(Text(p), "");
    EXPECT_EQ(p.GetPending(), "#X=1");
    p += "\n\n\n";
    EXPECT_EQ(Text(p), "#X=1\n");
    EXPECT_EQ(p.Analyze("#Y=2\n#X=3\n"), 0);
    EXPECT_EQ(Text(p), "#X=3\n#Y=2\n");
}

TEST(ExParamParse, AssignmentKeepsDuplicates) {
    CExParam p;
    p = "#A=1\n\n#A=1\n#B";
    EXPECT_EQ(p.GetSize(), 3);
    std::string v;
    EXPECT_EQ(p.Search("#A", v), 0);
    EXPECT_EQ(v, "1");
    EXPECT_EQ(p.Search("#B", v), 2);
    EXPECT_EQ(v, "");
    EXPECT_EQ(p.RemoveAt("#A"), 0);
    EXPECT_EQ(Text(p), "#B\n");
    EXPECT_EQ(p.RemoveAt("#A"), -1);
}

TEST(ExParamParse, TrimsKeyAndValue) {
    CExParam p;
    p = "  #KEY \t=  some value \r\n#a=lower\n";
    std::string v;
    EXPECT_EQ(p.Search("#KEY", v), 0);
    EXPECT_EQ(v, "some value");
    EXPECT_EQ(p.Search("#A", v), -1);  // keys are case-sensitive
    EXPECT_EQ(v, "");
    EXPECT_EQ(p.Search("#a"), "lower");
    p = "#E=a=b\n";
    EXPECT_EQ(p.Search("#E"), "a=b");  // the key ends at the first "="
}

TEST(ExParamSearch, TypedValues) {
    CExParam p;
    p = "#N= -17xyz\n#D=  2.5e2kg\n#X=0x10\n#H=abc\n#E=\n";
    LONG n = 99;
    double d = 0;
    EXPECT_EQ(p.Get("#N", n), 0);
    EXPECT_EQ(n, -17);
    EXPECT_EQ(p.Get("#D", d), 1);
    EXPECT_DOUBLE_EQ(d, 250.0);
    EXPECT_EQ(p.Get("#X", d), 2);
    EXPECT_DOUBLE_EQ(d, 0.0);  // decimal only
    EXPECT_EQ(p.Get("#MISSING", n), -1);
    EXPECT_EQ(n, 0);
    p = "#N=99999999999\n";
    p.Get("#N", n);
    EXPECT_EQ(n, INT32_MAX);  // saturates instead of overflowing
}

TEST(ExParamSearch, HexDecoding) {
    CExParam p;
    p = "#H=abc\n#U=0AbC\n#G=zz\n#E=\n";
    std::vector<BYTE> bytes;
    EXPECT_EQ(p.Get("#H", bytes), 0);  // found on the first line
    EXPECT_EQ(bytes, (std::vector<BYTE>{0x0a, 0xbc}));
    EXPECT_EQ(p.Get("#U", bytes), 1);
    EXPECT_EQ(bytes, (std::vector<BYTE>{0x0a, 0xbc}));
    p.Get("#G", bytes);  // no check: 'z' counts as 35
    EXPECT_EQ(bytes, (std::vector<BYTE>{static_cast<BYTE>(35 * 16 + 35)}));
    EXPECT_EQ(p.Get("#E", bytes), 3);
    EXPECT_TRUE(bytes.empty());
    CBinBuff bin;
    EXPECT_EQ(p.Get("#H", bin), 0);
    EXPECT_EQ(static_cast<std::string>(bin), "0abc");
    EXPECT_EQ(p.Get("#NONE", bin), -1);
    EXPECT_EQ(bin.GetSize(), 0);

    CExParam q;
    CBinBuff src;
    const BYTE raw[] = {0, 1, 0x7f, 0x80, 0xff};
    src.Set(raw, 5);
    q.Put("#BIN", src);
    EXPECT_EQ(Text(q), "#BIN=00017f80ff\n");
    q.Get("#BIN", bytes);
    EXPECT_EQ(bytes, std::vector<BYTE>(raw, raw + 5));
}

TEST(ExParamReaders, QuotedStrings) {
    CExParam p;
    std::string s = "x";
    EXPECT_EQ(p.GetTitle(s), -1);
    EXPECT_EQ(s, "");
    p = "#TITLE=abc\n#LINE=\"a,b\" tail\n#MESSAGE=\"m\", 5\n#PANEL=\"open\n";
    EXPECT_EQ(p.GetTitle(s), 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(p.GetLine(s), 0);
    EXPECT_EQ(s, "a,b");
    EXPECT_EQ(p.GetMessageA(s), 5);
    EXPECT_EQ(s, "m");
    EXPECT_EQ(p.GetPanel(s), 0);
    EXPECT_EQ(s, "open");
    p.PutMessage("only");
    EXPECT_EQ(p.GetMessageA(s), 0);
    EXPECT_EQ(s, "only");
    p.PutAccount("acc");
    p.PutPassword("pw");
    p.PutServiceName("svc");
    p.PutProcessName("proc");
    std::string a, b, c, d;
    p.GetAccount(a);
    p.GetPassword(b);
    p.GetServiceName(c);
    p.GetProcessName(d);
    EXPECT_EQ(a + b + c + d, "accpwsvcproc");
    EXPECT_NE(Text(p).find("#TASK_NAME=\"proc\"\n"), std::string::npos);
}

TEST(ExParamReaders, NumbersColorsAndButtons) {
    CExParam p;
    EXPECT_EQ(p.GetBeep(), -1);
    p.PutBeep(3);
    p.PutButtonAnswer(0);
    p.PutModeless(-5);
    p.PutPosition(8);
    p.PutPushedButton(2);
    p.PutWIndowType(4);
    EXPECT_EQ(p.GetBeep(), 3);
    EXPECT_EQ(p.GetButtonAnswer(), 0);
    EXPECT_EQ(p.GetModeless(), -5);
    EXPECT_EQ(p.GetPosition() + p.GetPushedButton() + p.GetWindowType(), 14);
    p = "#COLOR=PINK\n#DEFAULT_BUTTON=0\n#WINDOW_BUTTON=MB_FOO\n";
    EXPECT_EQ(p.GetColor(), -2);
    EXPECT_EQ(p.GetDefaultButton(), -2);
    EXPECT_EQ(p.GetWindowButton(), -2);
    p.PutColor(5);
    EXPECT_EQ(Text(p).substr(0, 8), "#COLOR=\n");
    EXPECT_EQ(p.GetColor(), -1);
    p.PutWindowButton(0x6 | 0x300);
    EXPECT_EQ(p.Search("#WINDOW_BUTTON"), "");
    EXPECT_EQ(p.GetDefaultButton(), -1);
    EXPECT_EQ(p.GetWindowButton(), -1);
}

TEST(ExParamReaders, WindowButtonLabels) {
    CExParam p;
    std::string s;
    EXPECT_EQ(p.GetWindowButtonFirst(s), -1);
    p.PutWindowButton(0x200, "Yes", "No", "Later");
    EXPECT_EQ(Text(p), "#WINDOW_BUTTON=\"Yes\", \"No\", \"Later\"\n#DEFAULT_BUTTON=3\n");
    EXPECT_EQ(p.GetWindowButton(), -11);
    std::vector<std::string> labels;
    for (int r = p.GetWindowButtonFirst(s); r == 1; r = p.GetWindowButtonNext(s)) labels.push_back(s);
    EXPECT_EQ(labels, (std::vector<std::string>{"Yes", "No", "Later"}));
    EXPECT_EQ(p.GetWindowButtonNext(s), 0);
    EXPECT_EQ(s, "");
    p.PutWindowStyle(0x40, "Ok", nullptr, "ignored");
    EXPECT_EQ(Text(p), "#WINDOW_BUTTON=\"Ok\"\n#DEFAULT_BUTTON=1\n#ICON_FILE=MB_ICONASTERISK\n");
    p.PutWindowButton(0x4);
    EXPECT_EQ(p.GetWindowButtonFirst(s), -11);
    EXPECT_EQ(p.GetWindowButton(), 4);
}

TEST(ExParamReaders, OutputFileList) {
    CExParam p("D:\\OUT");
    p.Begin(1, 3);
    LONG seqs[] = {1, 2, -1};
    short counts[] = {2, 0};
    p.PutOutputFile(seqs, counts);
    EXPECT_EQ(p.Search("#OUTPUT_FILE"), "out0001.001(02), out0001.002");
    std::string name;
    short count = -7;
    EXPECT_EQ(p.GetOFileFullNameFirst(name, &count), 1);
    EXPECT_EQ(name, "D:\\OUT\\out0001.001");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(p.GetOFileFullNameNext(name, &count), 1);
    EXPECT_EQ(name, "D:\\OUT\\out0001.002");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(p.GetOFileFullNameNext(name, &count), 0);
    EXPECT_EQ(name, "");

    p.PutOutputFile();
    EXPECT_EQ(Text(p), "#BEGIN\n#COMMAND_NO=0001\n#OUTPUT_PATH=D:\\OUT\\\n#OUTPUT_FILE=out0001.003\n");
    p.PutOutputFile(0x1ab, 4);
    EXPECT_EQ(p.Search("#OUTPUT_FILE"), "out0001.1ab(04)");
    std::string path;
    EXPECT_EQ(p.GetOutputpath(path), 0);
    EXPECT_EQ(path, "D:\\OUT\\");
    p.RemoveAt("#OUTPUT_FILE");
    EXPECT_EQ(p.GetOFileFullNameFirst(name), -1);
}

TEST(ExParamCopy, CopiesLinesNumbersAndPaths) {
    CExParam a("o", "i", "t");
    a.Begin(2, 9);
    a.Put("#P=");  // pending, not copied
    CExParam b(a);
    CExParam c;
    c = a;
    CExParam& same = c;
    c = same;
    for (CExParam* x : {&b, &c}) {
        EXPECT_EQ(Text(*x), "#BEGIN\n#COMMAND_NO=0002\n");
        EXPECT_EQ(x->GetFileSeq(), 9);
        EXPECT_EQ(x->GetInputPath() + x->GetOutputPath() + x->GetThirdPath(), "i\\o\\t\\");
        EXPECT_EQ(x->GetPending(), "");
    }
    std::string path;
    b.PutPath("C:\\p");
    EXPECT_EQ(b.GetPath(path), 0);
    EXPECT_EQ(path, "C:\\p\\");
}

TEST(ExParamTokens, GetTokenAndGetToken2) {
    std::string out = "x";
    EXPECT_EQ(CExParam::GetToken(out, "  ab \t,rest", ","), 7);
    EXPECT_EQ(out, "ab");
    EXPECT_EQ(CExParam::GetToken2(out, "  ab \t,rest", ","), 7);
    EXPECT_EQ(out, "  ab \t");
    EXPECT_EQ(CExParam::GetToken(out, "tail", ","), 4);
    EXPECT_EQ(out, "tail");
    EXPECT_EQ(CExParam::GetToken(out, "", ","), 0);
    EXPECT_EQ(CExParam::GetToken(out, nullptr, ","), 0);
    EXPECT_EQ(CExParam::GetToken(out, " \r\n", ","), 3);
    EXPECT_EQ(out, "");
    EXPECT_EQ(CExParam::GetToken(out, "\va\v", ","), 3);
    EXPECT_EQ(out, "\va");  // a leading VT stays
}

}  // namespace
