// The real service fed by the requester tool over its pipe and by WM_COPYDATA.
#include <gtest/gtest.h>

#include "common/inifile.h"
#include "service/request_list.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

const std::string kEmptyQueue("\x00\x00\x01\x00\x00\x00\x00\x00", 8);

class Intake : public ::testing::Test {
protected:
    explicit Intake(const wchar_t* tag = L"intake")
        : folder(tag), client(UniqueName(tag)), service(client, folder.path()) {}

    // Runs the requester to the end; returns its exit code.
    DWORD Requester(const std::wstring& arguments, std::string* out = nullptr) {
        ChildProcess requester;
        EXPECT_TRUE(requester.Start(ProgramFolder() + L"\\requester.exe", arguments, true));
        DWORD code = 99;
        EXPECT_TRUE(requester.Wait(30000, &code));
        if (out) *out = requester.Stdout();
        return code;
    }
    std::vector<std::wstring> Seq() { return ReadLogMessages(folder.file(L"kestrel_seq.txt")); }
    std::vector<std::wstring> List() { return ReadLogMessages(folder.file(L"kestrel_dec_list.txt")); }
    size_t JobsEnded() { return Count(Seq(), L"ThumbnailDecode_END"); }
    std::string QueueFile() { return ReadFileBytes(folder.file(L"TessaloomDataList.dat")); }
    BOOL CopyData(const std::string& bytes) {
        COPYDATASTRUCT data = {7, static_cast<DWORD>(bytes.size()), const_cast<char*>(bytes.data())};
        return static_cast<BOOL>(SendMessageW(service.WaitWindow(), WM_COPYDATA, 0,
                                              reinterpret_cast<LPARAM>(&data)));
    }
    void StartIdle(const std::wstring& extra = L"") {
        ASSERT_TRUE(service.Start(extra));
        ASSERT_NE(service.WaitWindow(), nullptr);
        ASSERT_TRUE(WaitFor([&] { return Contains(Seq(), L"WM_DECODE_START"); }));
    }

    ScratchFolder folder;
    std::wstring client;
    ServiceProcess service;
};

DecodeRequestItem_CL NoPositionItem(int32_t id, const std::wstring& movie) {
    DecodeRequestItem_CL item;
    item.request_id = id;
    item.movie_path = movie;
    item.output_path = L"never-written.jpg";
    item.item_marker = 0x12345678;
    return item;
}

TEST_F(Intake, PipeRequestIsWorkedRemovedAndTheQueueSavedEmpty) {
    StartIdle();
    EXPECT_EQ(Requester(L"decode " + client + L" 5 \"C:\\動画 1.mp4\" out.jpg"), 0u);
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 1; }));
    EXPECT_TRUE(Contains(List(), L"受付(C:\\動画 1.mp4)"));
    const auto seq = Seq();
    EXPECT_TRUE(Contains(seq, L"ThumbnailDecode_001(残り1 file)"));
    EXPECT_TRUE(Contains(seq, L"ThumbnailDecode_SAVE_END2"));
    EXPECT_EQ(QueueFile(), kEmptyQueue);
    Inifile_CL ini(folder.file(L"Thumbnail.ini"));
    EXPECT_EQ(ini.GetInt(L"THUMBNAIL", L"run_decode", -1), 0);
    EXPECT_TRUE(service.Close());
}

TEST_F(Intake, RestartMarkerContinuesWithTheSavedQueueAndItsAbsenceDoesNot) {
    const std::string saved = DecodeRequestList_CL::Serialize(
        {NoPositionItem(1, L"first.mp4"), NoPositionItem(2, L"second.mp4")});
    ASSERT_TRUE(WriteFileBytes(folder.file(L"TessaloomDataList.dat"), saved));

    StartIdle();
    // Idle once the first start request found nothing: the queue was not read.
    ASSERT_TRUE(WaitFor([&] { return Contains(List(), L"デーコードするアイテムがなくなりました。"); }));
    EXPECT_TRUE(Contains(List(), L"デコードアイテムは読み込まない"));
    ASSERT_TRUE(service.Close());
    EXPECT_EQ(QueueFile(), saved);
    EXPECT_EQ(JobsEnded(), 0u);

    StartIdle(L"anything");
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 2; }));
    EXPECT_TRUE(Contains(List(), L"デコードアイテムの読み込み"));
    const auto seq = Seq();
    EXPECT_TRUE(Contains(seq, L"ThumbnailDecode_001(残り2 file)"));
    EXPECT_TRUE(Contains(seq, L"ThumbnailDecode_001(残り1 file)"));
    EXPECT_EQ(QueueFile(), kEmptyQueue);
    EXPECT_TRUE(service.Close());
}

TEST_F(Intake, CopyDataQueuesOneWholeItemAndRefusesEverythingElse) {
    StartIdle();
    ByteWriter out;
    NoPositionItem(9, L"copied.mp4").write(out);
    const std::string item = out.Bytes();

    EXPECT_FALSE(CopyData(item.substr(0, item.size() - 1)));
    EXPECT_FALSE(CopyData(item + "x"));
    EXPECT_FALSE(CopyData(""));
    std::string negative = item;
    negative[16] = '\xFF', negative[17] = '\xFF', negative[18] = '\xFF', negative[19] = '\xFF';
    EXPECT_FALSE(CopyData(negative));
    std::string noise(200, '\x5A');
    EXPECT_FALSE(CopyData(noise));
    EXPECT_FALSE(FileExists(folder.file(L"TessaloomDataList.dat")));
    EXPECT_EQ(JobsEnded(), 0u);

    EXPECT_TRUE(CopyData(item));
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 1; }));
    const auto seq = Seq();
    EXPECT_TRUE(Contains(seq, L"WM_COPYDATA_ADD_START(copied.mp4)"));
    EXPECT_TRUE(Contains(seq, L"WM_COPYDATA_SAVE_END"));
    EXPECT_EQ(Count(List(), L"受付(copied.mp4)"), 1u);
    EXPECT_EQ(QueueFile(), kEmptyQueue);
    EXPECT_TRUE(service.Close());
}

TEST_F(Intake, MalformedPipePayloadsLeaveTheServiceServing) {
    StartIdle();
    for (const wchar_t* hex :
         {L"02000000", L"02000000 00000000 01000000 FFFFFFFF FFFFFFFF FFFFFFFF",
          L"02000000 00000000 01000000 FFFFFFFF FFFFFFFF 01000000 01000000 FFFFFF7F",
          L"04000000 00000010", L"01000000 FFFFFFFF", L"03000000 01000000", L"DEADBEEF00"}) {
        EXPECT_EQ(Requester(L"raw Tessaloom-" + client + L" \"" + hex + L"\""), 0u) << hex;
    }
    EXPECT_EQ(Requester(L"decode " + client + L" 1 after.mp4 out.jpg"), 0u);
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 1; }));
    EXPECT_EQ(Count(List(), L"受付(after.mp4)"), 1u);
    EXPECT_TRUE(service.process().Running());
    EXPECT_TRUE(service.Close());
}

TEST_F(Intake, BusyPipeIsRetriedTenTimesThenReported) {
    StartIdle();
    // Holding the single pipe instance without announcing a message keeps it busy.
    UniqueHandle holder(CreateFileW((L"\\\\.\\pipe\\Tessaloom-" + client).c_str(), GENERIC_WRITE,
                                    0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    std::string out;
    EXPECT_EQ(Requester(L"decode " + client + L" 1 busy.mp4 out.jpg", &out), 2u);
    EXPECT_EQ(out, "pipe_open(\xE3\x83\xAA\xE3\x83\x88\xE3\x83\xA9\xE3\x82\xA4\xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x90\xE3\x83\xBC)\n");
    EXPECT_FALSE(Contains(List(), L"受付(busy.mp4)"));
    EXPECT_TRUE(service.Close());
}

TEST_F(Intake, PeriodicRestartCountsStartRequestsAndHandsTheQueueOn) {
    Inifile_CL ini;
    ini.SetPath(folder.file(L"Thumbnail.ini"));
    ini.SetInt(L"THUMBNAIL", L"decode_periodic_restart_count", 1);
    StartIdle();
    const DWORD firstPid = service.process().Pid();
    // The first start request (posted at window creation) is counted.
    ASSERT_TRUE(WaitFor([&] {
        return Contains(ReadLogMessages(folder.file(L"kestrel_log.txt")),
                        L"[LOG_LINE] (ini) decode_periodic_restart_count=1 execute_decode_count=0");
    }));
    // The request's start message is the second one: a restart before any job.
    EXPECT_EQ(Requester(L"decode " + client + L" 3 periodic.mp4 out.jpg"), 0u);
    ASSERT_TRUE(service.process().Wait(20000));
    EXPECT_TRUE(Contains(List(), L"定期デコードによる再起動(2)"));
    EXPECT_TRUE(Contains(Seq(), L"定期再起動"));
    // The new process continues with the item that arrived through the pipe.
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() >= 1; }));
    EXPECT_TRUE(Contains(List(), L"デコードアイテムの読み込み"));
    ini.SetInt(L"THUMBNAIL", L"decode_periodic_restart_count", 0);
    HWND hwnd = service.WaitWindow();
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    EXPECT_NE(pid, firstPid);
}

}  // namespace
