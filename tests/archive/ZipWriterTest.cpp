#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/archive/ZipArchive.h"
#include "tests/archive/ArchiveTestTools.h"
#include "tests/support/ScratchHome.h"
#include "tests/support/TestFiles.h"
#include "tests/support/UmaskWatch.h"

namespace fs = std::filesystem;
using namespace archivetest;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

const std::string kUnicodeName = "r\xc3\xa9sum\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac.txt"; // résumé 日本.txt
const std::string kApostropheName = "it's mine.txt";
const std::string kBlankName = "with blank.bin";

class ZipWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = testsupport::makeScratchFolder("zip-writer");
        sources = folder + "/sources";
        fs::create_directories(sources);
    }

    std::string source(const std::string& name, const std::string& bytes)
    {
        const std::string path = sources + "/" + name;
        writeFile(path, bytes);
        return path;
    }

    std::string folder;
    std::string sources;
};

// Checks, with Python's zipfile, that every listed entry holds the bytes of
// its source file. Arguments: archive, then name/source pairs.
const char* const kPythonCompare = R"PY(
import sys, zipfile
archive = sys.argv[1]
pairs = list(zip(sys.argv[2::2], sys.argv[3::2]))
with zipfile.ZipFile(archive) as zf:
    assert zf.testzip() is None, "bad entry"
    names = zf.namelist()
    assert sorted(names) == sorted(n for n, _ in pairs), names
    for name, src in pairs:
        info = zf.getinfo(name)
        assert info.flag_bits & 1 == 0, "encrypted " + name
        if any(ord(c) > 127 for c in name):
            assert info.flag_bits & 0x800, "UTF-8 flag missing on " + name
        with open(src, "rb") as f:
            assert zf.read(name) == f.read(), "bytes differ: " + name
print("OK")
)PY";

} // namespace

TEST_F(ZipWriter, ThirdPartyToolsListAndExtractWhatWeWrite)
{
    const std::vector<EntrySource> entries = {
        {kUnicodeName, source("one", testsupport::patternBytes(100000))},
        {kApostropheName, source("two", "an apostrophe in the name\n")},
        {kBlankName, source("three", testsupport::patternBytes(3000))},
        {"sub\\inner.dat", source("four", std::string(5000, 'x'))},
        {"empty.txt", source("five", "")},
    };
    const std::string zipPath = folder + "/out.kzip";
    ASSERT_EQ(writeArchive(zipPath, entries), ZR_OK);
    EXPECT_EQ(lastWriterResult(), ZR_OK);

    std::vector<std::string> pythonArgs{zipPath};
    for (const auto& e : entries) {
        pythonArgs.push_back(e.entryName == "sub\\inner.dat" ? "sub/inner.dat" : e.entryName);
        pythonArgs.push_back(e.sourcePath);
    }
    const ToolRun python = runPython(kPythonCompare, pythonArgs);
    EXPECT_EQ(python.exitCode, 0) << python.output;

    const ToolRun unzipList = runTool({"unzip", "-l", zipPath});
    EXPECT_EQ(unzipList.exitCode, 0) << unzipList.output;
    const ToolRun sevenList = runTool({"7z", "l", zipPath});
    EXPECT_EQ(sevenList.exitCode, 0) << sevenList.output;
    for (const std::string& name : {kUnicodeName, kApostropheName, kBlankName, std::string("sub/inner.dat")}) {
        EXPECT_NE(unzipList.output.find(name), std::string::npos) << name << "\n" << unzipList.output;
        EXPECT_NE(sevenList.output.find(name), std::string::npos) << name << "\n" << sevenList.output;
    }

    const std::string byUnzip = folder + "/by-unzip";
    const ToolRun unzipRun = runTool({"unzip", "-q", zipPath, "-d", byUnzip});
    ASSERT_EQ(unzipRun.exitCode, 0) << unzipRun.output;
    const std::string by7z = folder + "/by-7z";
    const ToolRun sevenRun = runTool({"7z", "x", "-y", "-o" + by7z, zipPath});
    ASSERT_EQ(sevenRun.exitCode, 0) << sevenRun.output;
    for (const auto& e : entries) {
        const std::string name = e.entryName == "sub\\inner.dat" ? "sub/inner.dat" : e.entryName;
        EXPECT_EQ(readFile(byUnzip + "/" + name), readFile(e.sourcePath)) << name;
        EXPECT_EQ(readFile(by7z + "/" + name), readFile(e.sourcePath)) << name;
    }
}

TEST_F(ZipWriter, ArchiveExtensionsAreStoredAndTheRestDeflatedAtLevelEight)
{
    // Text with long, partly repeated lines, so that deflate levels 6, 8 and 9
    // give different sizes; Python's zlib computes the expected sizes.
    const ToolRun made = runPython(R"PY(
import random, sys
random.seed(7)
words = ['vault', 'key', 'package', 'folder', 'password', 'file', 'encrypted', 'body']
lines = ['entry %05d: ' % random.randint(0, 99999) + ' '.join(random.choice(words) for _ in range(random.randint(3, 12))) for _ in range(6000)]
open(sys.argv[1], 'wb').write('\n'.join(lines).encode())
)PY",
                                   {sources + "/text"});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const std::string text = sources + "/text";
    const std::string zipPath = folder + "/methods.zip";
    ASSERT_EQ(writeArchive(zipPath, {{"notes.ZIP", text}, {"photo.tgz", text}, {"a.txt", text}, {"README", text}}),
              ZR_OK);

    const ToolRun check = runPython(R"PY(
import sys, zipfile, zlib
data = open(sys.argv[2], 'rb').read()
def size(level, mem):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, mem)
    return len(c.compress(data) + c.flush())
level8 = {size(8, 8), size(8, 9)}
others = {size(l, m) for l in (6, 7, 9) for m in (8, 9)}
assert not (level8 & others), "sample does not tell the levels apart"
with zipfile.ZipFile(sys.argv[1]) as zf:
    for name in ('notes.ZIP', 'photo.tgz'):
        i = zf.getinfo(name)
        assert i.compress_type == zipfile.ZIP_STORED and i.compress_size == len(data), name
    for name in ('a.txt', 'README'):
        i = zf.getinfo(name)
        assert i.compress_type == zipfile.ZIP_DEFLATED, name
        assert i.compress_size in level8, (name, i.compress_size, level8)
        assert zf.read(name) == data
print("OK")
)PY",
                                    {zipPath, text});
    EXPECT_EQ(check.exitCode, 0) << check.output;
}

TEST_F(ZipWriter, TimesAndAttributesComeFromTheSource)
{
    // A zone away from UTC shows whether DOS times are local and UT times UTC.
    const char* oldZone = std::getenv("TZ");
    const std::string savedZone = oldZone ? oldZone : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();

    const std::string plain = source("plain.txt", "plain");
    const std::string readOnly = source("readonly.txt", "read only");
    const std::string program = source("program.sh", "#!/bin/sh\n");
    chmod(readOnly.c_str(), 0400);
    chmod(program.c_str(), 0700);
    chmod(plain.c_str(), 0600);
    // Odd seconds: the DOS time cannot hold them, the extended timestamp can.
    const struct timespec times[2] = {{1500000101, 0}, {1500000001, 0}};
    for (const std::string& p : {plain, readOnly, program})
        ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
    fs::create_directories(sources + "/folder");

    const std::string zipPath = folder + "/times.zip";
    ASSERT_EQ(writeArchive(zipPath, {{"plain.txt", plain},
                                     {"readonly.txt", readOnly},
                                     {"program.sh", program},
                                     {"folder", sources + "/folder"}}),
              ZR_OK);

    const ToolRun check = runPython(R"PY(
import struct, sys, time, zipfile
def ut_fields(extra):
    found = {}
    while len(extra) >= 4:
        hid, size = struct.unpack('<HH', extra[:4])
        found[hid] = extra[4:4 + size]
        extra = extra[4 + size:]
    return found.get(0x5455)
path = sys.argv[1]
raw = open(path, 'rb').read()
expected_modes = {'plain.txt': 0o100600, 'readonly.txt': 0o100400, 'program.sh': 0o100700, 'folder/': 0o40700}
expected_dos = {'plain.txt': 0x20, 'readonly.txt': 0x21, 'program.sh': 0x20, 'folder/': 0x10}
with zipfile.ZipFile(path) as zf:
    assert sorted(zf.namelist()) == sorted(expected_modes), zf.namelist()
    for info in zf.infolist():
        assert info.create_system == 3, info.create_system
        assert info.external_attr >> 16 == expected_modes[info.filename], (info.filename, oct(info.external_attr >> 16))
        assert info.external_attr & 0xFF == expected_dos[info.filename], (info.filename, hex(info.external_attr))
        if info.filename == 'folder/':
            continue
        # DOS time: local time of 1500000001, rounded down to even seconds.
        local = time.localtime(1500000000)
        assert info.date_time == tuple(local[:6]), (info.date_time, local[:6])
        assert local.tm_hour == 4, "zone not applied"
        central = ut_fields(info.extra)
        assert central == struct.pack('<BI', 7, 1500000001), central
        # Local header: signature, fixed fields, name, then its own extra field.
        name_len, extra_len = struct.unpack('<HH', raw[info.header_offset + 26:info.header_offset + 30])
        start = info.header_offset + 30 + name_len
        local_ut = ut_fields(raw[start:start + extra_len])
        assert local_ut is not None and len(local_ut) == 13, local_ut
        flags, mtime, atime, ctime = struct.unpack('<BIII', local_ut)
        assert flags == 7 and mtime == 1500000001 and atime == 1500000101, (flags, mtime, atime)
print("OK")
)PY",
                                    {zipPath});
    EXPECT_EQ(check.exitCode, 0) << check.output;

    // Info-ZIP's unzip restores the modification time from the UT field.
    const std::string byUnzip = folder + "/by-unzip";
    ASSERT_EQ(runTool({"unzip", "-q", zipPath, "-d", byUnzip}).exitCode, 0);
    struct stat info {};
    ASSERT_EQ(stat((byUnzip + "/plain.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, 1500000001);

    // Our own reader sees the same times and attributes.
    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ZipItem count;
    ASSERT_EQ(getZipItem(zip, -1, count), ZR_OK);
    ASSERT_EQ(count.index, 4);
    for (int i = 0; i < count.index; ++i) {
        ZipItem item;
        ASSERT_EQ(getZipItem(zip, i, item), ZR_OK);
        const std::string name = toNarrow(item.name);
        if (name == "folder/") {
            EXPECT_EQ(item.attributes, ZA_FOLDER);
            continue;
        }
        EXPECT_EQ(item.modificationTime, 1500000001) << name;
        EXPECT_EQ(item.accessTime, 1500000101) << name;
        EXPECT_EQ(item.attributes, name == "readonly.txt" ? ZA_READONLY : 0u) << name;
        EXPECT_FALSE(item.isLink);
    }
    EXPECT_EQ(closeZip(zip), ZR_OK);

    if (oldZone)
        setenv("TZ", savedZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(ZipWriter, NamesSizesAndBytesRoundTripThroughOurReader)
{
    const std::string body = testsupport::patternBytes(70000);
    const std::vector<EntrySource> entries = {
        {kUnicodeName, source("u", body)},
        {"G\\1\\3", source("g", "nested body")},
        {"empty.txt", source("e", "")},
        {kApostropheName, source("a", "x")},
    };
    const std::string zipPath = folder + "/round.kzip";
    ASSERT_EQ(writeArchive(zipPath, entries), ZR_OK);

    ZipHandle zip = openZip(wide(zipPath), nullptr);
    ASSERT_NE(zip, nullptr);
    ZipItem count;
    ASSERT_EQ(getZipItem(zip, -1, count), ZR_OK);
    ASSERT_EQ(count.index, 4);
    const std::string out = testsupport::makeScratchFolder("round-out");
    ASSERT_EQ(setUnzipBaseFolder(zip, wide(out)), ZR_OK);
    std::vector<std::string> names;
    for (int i = 0; i < count.index; ++i) {
        ZipItem item;
        ASSERT_EQ(getZipItem(zip, i, item), ZR_OK);
        EXPECT_EQ(item.index, i);
        names.push_back(toNarrow(item.name));
        ASSERT_EQ(unzipItem(zip, i, item.name), ZR_OK) << names.back();
        EXPECT_EQ(item.uncompressedSize, fs::file_size(out + "/" + names.back()));
    }
    EXPECT_EQ(closeZip(zip), ZR_OK);
    EXPECT_EQ(names, (std::vector<std::string>{kUnicodeName, "G/1/3", "empty.txt", kApostropheName}));
    EXPECT_EQ(readFile(out + "/" + kUnicodeName), body);
    EXPECT_EQ(readFile(out + "/G/1/3"), "nested body");
    EXPECT_EQ(readFile(out + "/empty.txt"), "");
}

TEST_F(ZipWriter, AnArchiveWithoutEntriesIsStillAZip)
{
    const std::string zipPath = folder + "/empty.zip";
    ZipHandle zip = createZip(wide(zipPath));
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(closeZip(zip), ZR_OK);
    ASSERT_TRUE(fs::exists(zipPath));
    const ToolRun check = runPython("import sys, zipfile\nassert zipfile.ZipFile(sys.argv[1]).namelist() == []\n",
                                    {zipPath});
    EXPECT_EQ(check.exitCode, 0) << check.output;
    EXPECT_EQ(runTool({"7z", "l", zipPath}).exitCode, 0);

    ZipHandle reader = openZip(wide(zipPath), nullptr);
    ASSERT_NE(reader, nullptr);
    ZipItem count;
    count.index = 99;
    EXPECT_EQ(getZipItem(reader, -1, count), ZR_OK);
    EXPECT_EQ(count.index, 0);
    EXPECT_EQ(closeZip(reader), ZR_OK);
}

TEST_F(ZipWriter, ReplacesAnExistingFileOnlyWhenTheNewArchiveIsComplete)
{
    const std::string zipPath = folder + "/target.kzip";
    writeFile(zipPath, "previous package bytes");

    // The source disappears before the archive is written: nothing may change.
    const std::string doomed = source("doomed", "soon gone");
    ZipHandle zip = createZip(wide(zipPath));
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(zipAdd(zip, L"doomed", wide(doomed)), ZR_OK);
    ASSERT_TRUE(fs::remove(doomed));
    EXPECT_NE(closeZip(zip), ZR_OK);
    EXPECT_NE(lastWriterResult(), ZR_OK);
    EXPECT_EQ(readFile(zipPath), "previous package bytes");
    EXPECT_EQ(listTree(folder), (std::vector<std::string>{"sources", "target.kzip"}));

    // A complete archive replaces it.
    ASSERT_EQ(writeArchive(zipPath, {{"kept", source("kept", "kept bytes")}}), ZR_OK);
    const ToolRun check = runPython(
        "import sys, zipfile\nassert zipfile.ZipFile(sys.argv[1]).read('kept') == b'kept bytes'\n", {zipPath});
    EXPECT_EQ(check.exitCode, 0) << check.output;
}

// A watched file shows every byte as it goes into the archive, a small one on
// the writing thread and a large one read ahead on a thread of its own; a
// watch that refuses at the end, or throws part-way, spoils the archive like
// an unreadable source.
TEST_F(ZipWriter, AWatchSeesTheBytesWrittenAndCanRefuseThem)
{
    const std::string other = source("other", "other bytes");
    enum class Verdict { Accept, RefuseAtEnd, ThrowPartWay };
    for (const std::size_t size : {std::size_t {300000}, std::size_t {3000017}}) {
        const std::string bytes = testsupport::patternBytes(size);
        const std::string body = source("body" + std::to_string(size), bytes);
        for (const Verdict verdict : {Verdict::Accept, Verdict::RefuseAtEnd, Verdict::ThrowPartWay}) {
            const bool accept = verdict == Verdict::Accept;
            SCOPED_TRACE(std::to_string(size) + " bytes, verdict " + std::to_string(static_cast<int>(verdict)));
            const std::string zipPath =
                folder + "/watched-" + std::to_string(size) + "-" + std::to_string(static_cast<int>(verdict)) + ".kzip";
            std::string seen;
            int completions = 0;
            ZipAddWatch watch;
            watch.bytes = [&](const unsigned char* data, std::size_t length) {
                if (verdict == Verdict::ThrowPartWay && seen.size() > size / 2)
                    throw std::runtime_error("refused part-way");
                seen.append(reinterpret_cast<const char*>(data), length);
            };
            watch.complete = [&] {
                ++completions;
                return verdict != Verdict::RefuseAtEnd;
            };
            ZipHandle zip = createZip(wide(zipPath));
            ASSERT_NE(zip, nullptr);
            ASSERT_EQ(zipAdd(zip, L"other", wide(other)), ZR_OK);
            ASSERT_EQ(zipAdd(zip, L"G/1", wide(body), ZipMethod::Stored, &watch), ZR_OK);
            EXPECT_EQ(closeZip(zip) == ZR_OK, accept);
            EXPECT_EQ(fs::exists(zipPath), accept);
            if (verdict != Verdict::ThrowPartWay) {
                EXPECT_EQ(seen, bytes);
                EXPECT_GE(completions, 1);
            }
            if (accept) {
                const ToolRun check =
                    runPython(kPythonCompare, {zipPath, "other", folder + "/sources/other", "G/1", body});
                EXPECT_EQ(check.exitCode, 0) << check.output;
            }
        }
    }
}

TEST_F(ZipWriter, EachWatchSeesItsOwnFileWhileTheNextIsReadAhead)
{
    // Watched files are read and watched one ahead of the one written: big
    // enough for a thread (over 512 KiB), beyond the 4 MiB read ahead, and
    // small ones read in place, between unwatched files.
    const std::vector<std::size_t> sizes = {3000017, 600000, 5u << 20, 1000, 700001};
    std::vector<std::string> contents;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        std::string bytes = testsupport::patternBytes(sizes[i]);
        bytes[0] = static_cast<char>('A' + i);
        bytes[bytes.size() / 2] = static_cast<char>('a' + i);
        paths.push_back(source("watched" + std::to_string(i), bytes));
        contents.push_back(std::move(bytes));
    }
    const std::string plain = source("plain", "not watched");
    // -1: every file is accepted; otherwise the file refused at its end, or
    // (when thrown) part-way while it is read ahead.
    struct Case {
        int refused;
        bool thrown;
        bool removed;
    };
    for (const Case c : {Case{-1, false, false}, Case{2, false, false}, Case{1, true, false}, Case{4, true, false},
                         Case{-1, false, true}}) {
        SCOPED_TRACE("refused " + std::to_string(c.refused) + (c.thrown ? " by throwing" : "")
                     + (c.removed ? ", one removed before writing" : ""));
        const std::string zipPath = folder + "/ahead.kzip";
        std::vector<std::string> seen(sizes.size());
        std::vector<int> completions(sizes.size(), 0);
        std::vector<ZipAddWatch> watches(sizes.size());
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            watches[i].bytes = [&, i](const unsigned char* data, std::size_t length) {
                if (c.thrown && static_cast<int>(i) == c.refused && seen[i].size() > sizes[i] / 2)
                    throw std::runtime_error("refused part-way");
                seen[i].append(reinterpret_cast<const char*>(data), length);
            };
            watches[i].complete = [&, i] {
                ++completions[i];
                return static_cast<int>(i) != c.refused;
            };
        }
        ZipHandle zip = createZip(wide(zipPath));
        ASSERT_NE(zip, nullptr);
        std::vector<std::string> pairs = {zipPath};
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "G/" + std::to_string(i);
            ASSERT_EQ(zipAdd(zip, wide(name), wide(paths[i]), ZipMethod::Stored, &watches[i]), ZR_OK);
            pairs.insert(pairs.end(), {name, paths[i]});
            if (i == 1) {
                ASSERT_EQ(zipAdd(zip, L"plain", wide(plain)), ZR_OK);
                pairs.insert(pairs.end(), {"plain", plain});
            }
        }
        const std::string moved = paths[3] + ".away";
        if (c.removed)
            fs::rename(paths[3], moved);
        const bool accepted = c.refused < 0 && !c.removed;
        EXPECT_EQ(closeZip(zip) == ZR_OK, accepted);
        EXPECT_EQ(fs::exists(zipPath), accepted);
        std::vector<std::string> outside;
        for (const std::string& entry : listTree(folder))
            if (entry.rfind("sources", 0) != 0)
                outside.push_back(entry);
        EXPECT_EQ(outside, accepted ? std::vector<std::string>{"ahead.kzip"} : std::vector<std::string>{})
            << "a temporary file stayed";
        if (c.removed)
            fs::rename(moved, paths[3]);
        // The files before the refused one were seen whole, and so was the
        // refused one when it was refused only at its end.
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const int at = static_cast<int>(i);
            if (!c.removed && (at < c.refused || (at == c.refused && !c.thrown))) {
                EXPECT_EQ(seen[i], contents[i]) << "file " << i;
            }
        }
        if (accepted) {
            for (std::size_t i = 0; i < sizes.size(); ++i) {
                EXPECT_EQ(seen[i], contents[i]) << "file " << i;
                EXPECT_GE(completions[i], 1) << "file " << i;
            }
            const ToolRun check = runPython(kPythonCompare, pairs);
            EXPECT_EQ(check.exitCode, 0) << check.output;
        }
        fs::remove(zipPath);
    }
}

TEST_F(ZipWriter, AFailedAddSpoilsTheArchive)
{
    const std::string zipPath = folder + "/spoiled.kzip";
    ZipHandle zip = createZip(wide(zipPath));
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(zipAdd(zip, L"first", wide(source("first", "1"))), ZR_OK);
    EXPECT_EQ(zipAdd(zip, L"missing", wide(sources + "/no such file")), ZR_WRITE);
    EXPECT_EQ(lastWriterResult(), ZR_WRITE);
    EXPECT_EQ(zipAdd(zip, L"later", wide(source("later", "2"))), ZR_FAILED);
    EXPECT_EQ(closeZip(zip), ZR_FAILED);
    EXPECT_EQ(lastWriterResult(), ZR_FAILED);
    EXPECT_FALSE(fs::exists(zipPath));

    // The same name twice would make an ambiguous archive.
    zip = createZip(wide(zipPath));
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(zipAdd(zip, L"same", wide(source("s1", "1"))), ZR_OK);
    EXPECT_EQ(zipAdd(zip, L"same", wide(source("s2", "2"))), ZR_WRITE);
    EXPECT_NE(closeZip(zip), ZR_OK);
    EXPECT_FALSE(fs::exists(zipPath));
}

TEST_F(ZipWriter, AFullDiskLeavesNoPartialArchive)
{
    // A file-size limit in a child process stands in for a full disk.
    const std::string big = source("big.gz", testsupport::patternBytes(2 * 1024 * 1024));
    const std::string zipPath = folder + "/full.kzip";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {256 * 1024, 256 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        ZipHandle zip = createZip(wide(zipPath));
        if (zip == nullptr || zipAdd(zip, L"big.gz", wide(big)) != ZR_OK)
            _exit(2);
        _exit(closeZip(zip) != ZR_OK && lastWriterResult() != ZR_OK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "closeZip did not report the failed write";
    EXPECT_EQ(listTree(folder), (std::vector<std::string>{"sources", "sources/big.gz"}));
}

TEST_F(ZipWriter, BadArgumentsAndWrongHandles)
{
    EXPECT_EQ(createZip(wide(folder + "/missing/x.zip")), nullptr);
    EXPECT_EQ(lastWriterResult(), ZR_NOFILE);
    EXPECT_EQ(createZip(wide(sources)), nullptr); // an existing folder
    EXPECT_EQ(lastWriterResult(), ZR_NOFILE);
    EXPECT_EQ(createZip(L""), nullptr);

    EXPECT_EQ(zipAdd(nullptr, L"a", wide(source("a", "a"))), ZR_ARGS);
    EXPECT_EQ(lastWriterResult(), ZR_ARGS);
    EXPECT_EQ(closeZip(nullptr), ZR_ARGS);

    const std::string zipPath = folder + "/args.zip";
    ZipHandle zip = createZip(wide(zipPath));
    ASSERT_NE(zip, nullptr);
    // A rejected name adds nothing and leaves the writer usable.
    EXPECT_EQ(zipAdd(zip, L"", wide(sources + "/a")), ZR_ARGS);
    EXPECT_EQ(zipAdd(zip, nocase_wstring(1, wchar_t(0xDC80)) + L"raw", wide(sources + "/a")), ZR_ARGS);
    {
        // Reader calls refuse a writer handle.
        ZipItem item;
        EXPECT_EQ(getZipItem(zip, -1, item), ZR_ZMODE);
        EXPECT_EQ(lastReaderResult(), ZR_ZMODE);
        EXPECT_EQ(unzipItem(zip, 0, L"x"), ZR_ZMODE);
        EXPECT_EQ(setUnzipBaseFolder(zip, wide(folder)), ZR_ZMODE);
    }
    EXPECT_EQ(zipAdd(zip, L"a", wide(sources + "/a")), ZR_OK);
    EXPECT_EQ(closeZip(zip), ZR_OK);

    ZipHandle reader = openZip(wide(zipPath), nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(zipAdd(reader, L"b", wide(sources + "/a")), ZR_ZMODE);
    EXPECT_EQ(lastWriterResult(), ZR_ZMODE);
    EXPECT_EQ(closeZip(reader), ZR_OK);
}

TEST(ZipWriterModes, AnEmptyArchiveGetsTheOrdinaryModeWithoutTouchingTheUmask)
{
    const testsupport::ScopedUmask mask(027);
    const int callsBefore = testsupport::umaskCalls();
    const std::string zipPath = testsupport::makeScratchFolder("empty-mode") + "/nothing.zip";
    ZipHandle zip = createZip(wide(zipPath));
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(closeZip(zip), ZR_OK);
    struct stat info {};
    ASSERT_EQ(::stat(zipPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(testsupport::umaskCalls(), callsBefore);
    EXPECT_EQ(fs::directory_iterator(fs::path(zipPath).parent_path())->path(), fs::path(zipPath));
}

// A new archive takes the umask's mode; one written over an older file keeps
// that file's mode, and nothing is left beside either.
TEST(ZipWriterModes, ANewArchiveTakesTheUmaskAndAReplacedOneKeepsItsMode)
{
    const testsupport::ScopedUmask mask(027);
    const std::string folder = testsupport::makeScratchFolder("archive-modes");
    const std::string entry = folder + "/entry.bin";
    writeFile(entry, testsupport::patternBytes(3 * 1024 * 1024 + 7));
    const std::string fresh = folder + "/fresh.zip";
    const std::string replaced = folder + "/replaced.zip";
    writeFile(replaced, "an older package");
    ASSERT_EQ(::chmod(replaced.c_str(), 0604), 0);
    for (const std::string& zipPath : {fresh, replaced})
        ASSERT_EQ(writeArchive(zipPath, {{"entry.bin", entry}}), ZR_OK);

    struct stat info {};
    ASSERT_EQ(::stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    ASSERT_EQ(::stat(replaced.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0604u);
    const ToolRun check = runPython(kPythonCompare, {replaced, "entry.bin", entry});
    EXPECT_EQ(check.exitCode, 0) << check.output;
    EXPECT_EQ(listTree(folder), (std::vector<std::string>{"entry.bin", "fresh.zip", "replaced.zip"}));
}
