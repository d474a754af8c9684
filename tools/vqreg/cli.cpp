// vqreg's command line: argument parsing, the five commands and their help.
#include "tools/vqreg/cli.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "pal/error/error.h"
#include "pal/file/path.h"
#include "pal/file/whole_file.h"
#include "pal/registry/regfile.h"
#include "pal/registry/registry.h"

namespace vqreg {

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;
// Real .reg files are kilobytes; the limit only stops a device or a runaway file.
constexpr size_t kMaxRegFileBytes = 64u << 20;

const char* const kMainHelp =
    "usage: vqreg COMMAND [ARGUMENTS]\n"
    "\n"
    "  query KEY [VALUE] [--recursive]   show a key's values and sub-keys, or one value\n"
    "  add KEY [--value NAME --type TYPE --data DATA]\n"
    "                                    create a key, or set one of its values\n"
    "  delete KEY [--value NAME]         delete a key with everything below it, or one value\n"
    "  import FILE.reg                   apply a .reg file, all of it or nothing\n"
    "  export KEY FILE.reg [--utf16]     write a key and everything below it as a .reg file\n"
    "\n"
    "KEY is ROOT\\path, ROOT one of HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU),\n"
    "HKEY_CLASSES_ROOT (HKCR) or HKEY_USERS (HKU), in any case. The registry is\n"
    "$VQ_ROOT/registry.db. 'vqreg COMMAND --help' describes a command.\n"
    "Exit status: 0 done, 1 failed, 2 bad usage.\n";

const std::map<std::string, const char*> kHelp = {
    {"query",
     "usage: vqreg query KEY [VALUE] [--recursive]\n"
     "Shows the key's values (name, type, data) and lists its sub-keys; with VALUE only\n"
     "that value (\"\" for the default value); with --recursive the sub-keys' contents\n"
     "too. REG_DWORD and REG_QWORD show in hexadecimal, REG_MULTI_SZ strings joined by \\0,\n"
     "binary data as hexadecimal bytes.\n"},
    {"add",
     "usage: vqreg add KEY [--value NAME [--type TYPE] [--data DATA]...]\n"
     "Creates KEY (and the keys above it). With --value, sets the value NAME (\"\" is the\n"
     "default value) in it. TYPE: REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ,\n"
     "REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE. DATA by type:\n"
     "  REG_SZ, REG_EXPAND_SZ  text (stored with its terminating NUL)\n"
     "  REG_MULTI_SZ           strings: give --data once per string, or separate them by\n"
     "                         the two characters \\0 (\"a\\0b\")\n"
     "  REG_DWORD, REG_QWORD   a number, decimal or 0x hexadecimal\n"
     "  REG_BINARY, REG_NONE   hexadecimal bytes (\"01ff\", \"01,ff\" or \"01 ff\")\n"
     "Without --data the value is empty (0 for numbers).\n"},
    {"delete",
     "usage: vqreg delete KEY [--value NAME]\n"
     "Deletes KEY with all its sub-keys and values, or only the value NAME (\"\" for the\n"
     "default value). A key or value that does not exist is an error.\n"},
    {"import",
     "usage: vqreg import FILE.reg\n"
     "Applies a .reg file (\"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"): [KEY]\n"
     "creates a key, [-KEY] deletes one, \"name\"=... sets a value, \"name\"=- deletes one.\n"
     "The file may be UTF-16LE with a byte-order mark (as the registry editor writes it),\n"
     "UTF-8, or 8-bit text in code page 932; Unicode texts are stored in code page 932.\n"
     "A file without a mark that is well-formed UTF-8 is read as UTF-8. The whole file is\n"
     "checked first; a malformed line, or a character code page 932 cannot hold, is\n"
     "reported with its line number and nothing is changed. FILE.reg must be a regular\n"
     "file of at most 64 MiB.\n"},
    {"export",
     "usage: vqreg export KEY FILE.reg [--utf16]\n"
     "Writes KEY and everything below it to FILE.reg (replacing the file; \"-\" writes to\n"
     "standard output), in the format import reads back: 8-bit text in code page 932, or\n"
     "with --utf16 as the registry editor writes it (UTF-16LE with a byte-order mark, CR LF\n"
     "line ends, hex(2) and hex(7) data as UTF-16LE). With --utf16 a name or string that\n"
     "is not code page 932 text cannot be written and the export fails, naming it.\n"},
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;  // "--value" -> values
    bool help = false;
};

// Options that take a value, and flags, per command.
bool ParseArgs(const std::string& command, int argc, char** argv, Args& args, std::string& why) {
    static const std::map<std::string, std::vector<std::string>> kValued = {
        {"query", {}}, {"add", {"--value", "--type", "--data"}}, {"delete", {"--value"}},
        {"import", {}}, {"export", {}}};
    static const std::map<std::string, std::vector<std::string>> kFlags = {
        {"query", {"--recursive"}}, {"add", {}}, {"delete", {}}, {"import", {}}, {"export", {"--utf16"}}};
    const auto& valued = kValued.at(command);
    const auto& flags = kFlags.at(command);
    bool onlyPositional = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (onlyPositional || a.size() < 2 || a.compare(0, 2, "--") != 0) {
            args.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            onlyPositional = true;
            continue;
        }
        if (a == "--help") {
            args.help = true;
            continue;
        }
        std::string value;
        bool inlineValue = false;
        if (size_t eq = a.find('='); eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            inlineValue = true;
        }
        if (std::find(flags.begin(), flags.end(), a) != flags.end() && !inlineValue) {
            args.options[a].push_back("");
        } else if (std::find(valued.begin(), valued.end(), a) != valued.end()) {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    why = a + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            args.options[a].push_back(value);
        } else {
            why = "unknown option " + std::string(argv[i]) + " for " + command;
            return false;
        }
    }
    return true;
}

std::string Describe(LONG error) {
    // The system's text for 2 speaks of files, which confuses a registry user.
    if (error == ERROR_FILE_NOT_FOUND) return "not found (2)";
    std::string text = pal::SystemMessageText(static_cast<DWORD>(error));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) text = "error";
    return text + " (" + std::to_string(error) + ")";
}

class Command {
public:
    Command(FILE* out, FILE* err) : out_(out), err_(err) {}

    int Usage(const std::string& command, const std::string& why) {
        const std::string help = kHelp.at(command);
        std::fprintf(err_, "vqreg: %s\n%s(see 'vqreg %s --help')\n", why.c_str(),
                     help.substr(0, help.find('\n') + 1).c_str(), command.c_str());
        return kUsage;
    }
    int Fail(const std::string& what) {
        std::fprintf(err_, "vqreg: %s\n", what.c_str());
        return kFailed;
    }

    // The KEY argument as a root and sub-key path.
    bool Key(const std::string& command, const std::string& arg, HKEY& root, std::string& sub, int& status) {
        pal::reg::KeyId rootId = 0;
        std::vector<std::string> names;
        std::string why;
        if (!pal::reg::ParseKeyPath(arg, rootId, names, why)) {
            status = Usage(command, "bad KEY \"" + arg + "\": " + why);
            return false;
        }
        root = pal::reg::RootHandle(rootId);
        rootName_ = pal::reg::RootName(rootId);
        sub.clear();
        for (const std::string& n : names) sub += (sub.empty() ? "" : "\\") + n;
        return true;
    }

    int Query(const Args& args) {
        if (args.positional.empty() || args.positional.size() > 2) return Usage("query", "query takes KEY [VALUE]");
        HKEY root;
        std::string sub;
        int status = 0;
        if (!Key("query", args.positional[0], root, sub, status)) return status;
        HKEY key = nullptr;
        if (LONG e = RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &key))
            return Fail("cannot open " + args.positional[0] + ": " + Describe(e));
        std::string path = rootName_;
        if (!sub.empty()) path += "\\" + sub;
        int result = 0;
        if (args.positional.size() == 2) {
            result = ShowOneValue(key, path, args.positional[1]);
        } else {
            result = ShowKey(key, path, args.options.count("--recursive") != 0);
        }
        RegCloseKey(key);
        return result;
    }

    int Add(const Args& args) {
        if (args.positional.size() != 1) return Usage("add", "add takes one KEY");
        HKEY root;
        std::string sub;
        int status = 0;
        if (!Key("add", args.positional[0], root, sub, status)) return status;
        const bool hasValue = args.options.count("--value") != 0;
        if (!hasValue && (args.options.count("--type") || args.options.count("--data")))
            return Usage("add", "--type and --data need --value");
        DWORD type = REG_SZ;
        std::vector<uint8_t> bytes;
        std::string name;
        if (hasValue) {
            if (args.options.at("--value").size() > 1) return Usage("add", "--value given more than once");
            name = args.options.at("--value")[0];
            if (auto t = args.options.find("--type"); t != args.options.end()) {
                if (t->second.size() > 1) return Usage("add", "--type given more than once");
                if (!TypeFromName(t->second[0], type)) return Usage("add", "unknown --type \"" + t->second[0] + "\"");
            }
            std::vector<std::string> data;
            if (auto d = args.options.find("--data"); d != args.options.end()) data = d->second;
            std::string why;
            if (!EncodeData(type, data, bytes, why)) return Usage("add", "bad --data for " + TypeName(type) + ": " + why);
        }
        HKEY key = nullptr;
        if (LONG e = RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr))
            return Fail("cannot create " + args.positional[0] + ": " + Describe(e));
        LONG e = hasValue ? RegSetValueExA(key, name.c_str(), 0, type, bytes.data(), static_cast<DWORD>(bytes.size()))
                          : ERROR_SUCCESS;
        RegCloseKey(key);
        if (e) return Fail("cannot set \"" + name + "\" in " + args.positional[0] + ": " + Describe(e));
        return 0;
    }

    int Delete(const Args& args) {
        if (args.positional.size() != 1) return Usage("delete", "delete takes one KEY");
        HKEY root;
        std::string sub;
        int status = 0;
        if (!Key("delete", args.positional[0], root, sub, status)) return status;
        if (auto v = args.options.find("--value"); v != args.options.end()) {
            if (v->second.size() > 1) return Usage("delete", "--value given more than once");
            HKEY key = nullptr;
            if (LONG e = RegOpenKeyExA(root, sub.c_str(), 0, KEY_SET_VALUE, &key))
                return Fail("cannot open " + args.positional[0] + ": " + Describe(e));
            LONG e = RegDeleteValueA(key, v->second[0].c_str());
            RegCloseKey(key);
            if (e) return Fail("cannot delete \"" + v->second[0] + "\" in " + args.positional[0] + ": " + Describe(e));
            return 0;
        }
        if (sub.empty()) return Usage("delete", "a root key cannot be deleted");
        if (LONG e = RegDeleteTreeA(root, sub.c_str()))
            return Fail("cannot delete " + args.positional[0] + ": " + Describe(e));
        return 0;
    }

    int Import(const Args& args) {
        if (args.positional.size() != 1) return Usage("import", "import takes one FILE.reg");
        const std::string& file = args.positional[0];
        std::string text, why;
        if (pal::ReadWholeFile(pal::MapPath(file.c_str()), kMaxRegFileBytes, text, why) != 0)
            return Fail("cannot import " + why + " (nothing imported)");
        std::vector<pal::reg::RegEdit> edits;
        pal::reg::RegFileError error;
        if (!pal::reg::ParseRegFile(text, edits, error))
            return Fail(file + ": " + error.ToString() + " (nothing imported)");
        int line = 0;
        if (LONG e = pal::reg::ApplyRegEdits(edits, &line))
            return Fail(file + ": line " + std::to_string(line) + ": " + Describe(e) + " (nothing imported)");
        return 0;
    }

    int Export(const Args& args) {
        if (args.positional.size() != 2) return Usage("export", "export takes KEY and FILE.reg");
        HKEY root;
        std::string sub;
        int status = 0;
        if (!Key("export", args.positional[0], root, sub, status)) return status;
        std::string text, why;
        const auto encoding = args.options.count("--utf16") ? pal::reg::RegFileEncoding::kUtf16
                                                            : pal::reg::RegFileEncoding::kEightBit;
        if (LONG e = pal::reg::ExportRegFile(root, sub.c_str(), text, &why, encoding))
            return Fail("cannot export " + args.positional[0] + ": " + (why.empty() ? Describe(e) : why));
        const std::string& file = args.positional[1];
        if (file == "-") {
            std::fwrite(text.data(), 1, text.size(), out_);
            return 0;
        }
        // Written beside the target and renamed over it, so a reader never sees half a file.
        const std::string path = pal::MapPath(file.c_str());
        const std::string temp = path + ".vqtmp." + std::to_string(getpid());
        {
            std::ofstream o(temp, std::ios::binary | std::ios::trunc);
            o.write(text.data(), static_cast<std::streamsize>(text.size()));
            o.close();
            if (!o) {
                std::remove(temp.c_str());
                return Fail("cannot write " + file);
            }
        }
        if (std::rename(temp.c_str(), path.c_str()) != 0) {
            std::remove(temp.c_str());
            return Fail("cannot write " + file);
        }
        return 0;
    }

private:
    void ValueLine(const std::string& name, DWORD type, const std::vector<uint8_t>& data) {
        std::fprintf(out_, "    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), TypeName(type).c_str(),
                     ShowData(type, data).c_str());
    }

    // The value's name as stored (the caller may have typed it in another case).
    static std::string StoredName(HKEY key, const std::string& name) {
        std::vector<char> buf(16384);
        for (DWORD i = 0;; ++i) {
            DWORD cch = static_cast<DWORD>(buf.size());
            if (RegEnumValueA(key, i, buf.data(), &cch, nullptr, nullptr, nullptr, nullptr)) return name;
            std::string stored(buf.data(), cch);
            if (pal::reg::SameName(stored, name)) return stored;
        }
    }

    int ShowOneValue(HKEY key, const std::string& path, const std::string& name) {
        DWORD type = 0, size = 0;
        LONG e = RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size);
        std::vector<uint8_t> data(size);
        if (!e) e = RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &size);
        if (e) return Fail("cannot read \"" + name + "\" in " + path + ": " + Describe(e));
        data.resize(size);
        std::fprintf(out_, "%s\n", path.c_str());
        ValueLine(StoredName(key, name), type, data);
        return 0;
    }

    int ShowKey(HKEY key, const std::string& path, bool recursive) {
        // One read for the key's values and sub-key names: enumerating index by index is
        // a store transaction per value.
        pal::reg::Tree level;
        if (LONG e = pal::reg::ReadKeyLevel(key, level)) return Fail("cannot list " + path + ": " + Describe(e));
        std::fprintf(out_, "%s\n", path.c_str());
        for (const pal::reg::Value& v : level.values) ValueLine(v.name, v.type, v.data);
        std::fprintf(out_, "\n");
        for (const pal::reg::Tree& sub : level.keys) {
            const std::string childPath = path + "\\" + sub.name;
            if (!recursive) {
                std::fprintf(out_, "%s\n", childPath.c_str());
                continue;
            }
            HKEY child = nullptr;
            if (LONG e = RegOpenKeyExA(key, sub.name.c_str(), 0, KEY_READ, &child))
                return Fail("cannot open " + childPath + ": " + Describe(e));
            int r = ShowKey(child, childPath, true);
            RegCloseKey(child);
            if (r) return r;
        }
        return 0;
    }

    FILE* out_;
    FILE* err_;
    std::string rootName_;  // of the last KEY argument
};

}  // namespace

int Run(int argc, char** argv, FILE* out, FILE* err) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
        std::fputs(kMainHelp, argc < 2 ? err : out);
        return argc < 2 ? kUsage : 0;
    }
    const std::string command = argv[1];
    if (!kHelp.count(command)) {
        std::fprintf(err, "vqreg: unknown command \"%s\"\n%s", command.c_str(), kMainHelp);
        return kUsage;
    }
    Args args;
    std::string why;
    Command c(out, err);
    if (!ParseArgs(command, argc - 2, argv + 2, args, why)) return c.Usage(command, why);
    if (args.help) {
        std::fputs(kHelp.at(command), out);
        return 0;
    }
    if (command == "query") return c.Query(args);
    if (command == "add") return c.Add(args);
    if (command == "delete") return c.Delete(args);
    if (command == "import") return c.Import(args);
    return c.Export(args);
}

}  // namespace vqreg
