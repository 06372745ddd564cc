// The real Tessaloom.exe started as its client starts it: its window and logs, the
// requests it takes by pipe (from the requester tool) and by WM_COPYDATA, the queue it
// saves, and its end by WM_CLOSE.
#include <gtest/gtest.h>

#include "service/request_list.h"
#include "testing/support/service_fixture.h"

using namespace testing_support;

namespace {

const std::string kEmptyQueue("\x00\x00\x01\x00\x00\x00\x00\x00", 8);

DecodeRequestItem_CL NoPositionItem(int32_t id, const std::wstring& movie) {
    DecodeRequestItem_CL item;
    item.request_id = id;
    item.movie_path = movie;
    item.output_path = L"never-written.jpg";
    item.item_marker = 0x12345678;
    return item;
}

class ServiceLifecycle : public ServiceFixture {
protected:
    ServiceLifecycle() : ServiceFixture(L"lifecycle") {}

    // Runs the requester to the end; returns its exit code.
    DWORD Requester(const std::wstring& arguments) {
        ChildProcess requester;
        EXPECT_TRUE(requester.Start(ProgramFolder() + L"\\requester.exe", arguments));
        DWORD code = 99;
        EXPECT_TRUE(requester.Wait(30000, &code));
        return code;
    }
    std::string QueueFile() { return ReadFileBytes(folder.file(L"TessaloomDataList.dat")); }
    BOOL CopyData(const std::string& bytes) {
        COPYDATASTRUCT data = {7, static_cast<DWORD>(bytes.size()), const_cast<char*>(bytes.data())};
        return static_cast<BOOL>(SendMessageW(service.WaitWindow(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
    }
};

TEST_F(ServiceLifecycle, StartsServesItsPeersAndEndsOnClose) {
    StartService();
    const HWND hwnd = service.WaitWindow();  // found by its class and title
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_EQ(Main().at(0), L"★アプリ開始(Tessaloom-" + client + L")");
    // The start request posted at creation finds the queue empty.
    ASSERT_TRUE(WaitForLine(L"kestrel_dec_list.txt", L"デーコードするアイテムがなくなりました。"));
    EXPECT_TRUE(Contains(List(), L"デコードアイテムは読み込まない"));

    // A request by pipe is worked, removed, and the queue saved empty.
    EXPECT_EQ(Requester(L"decode " + client + L" 5 \"C:\\動画 1.mp4\" out.jpg"), 0u);
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 1; }));
    EXPECT_TRUE(Contains(List(), L"受付(C:\\動画 1.mp4)"));
    EXPECT_EQ(QueueFile(), kEmptyQueue);
    EXPECT_EQ(Get(L"run_decode", -1), 0);

    // WM_COPYDATA takes exactly one whole item.
    ByteWriter out;
    NoPositionItem(9, L"copied.mp4").write(out);
    const std::string item = out.Bytes();
    EXPECT_FALSE(CopyData(item.substr(0, item.size() - 1)));
    EXPECT_FALSE(CopyData(item + "x"));
    EXPECT_TRUE(CopyData(item));
    ASSERT_TRUE(WaitFor([&] { return JobsEnded() == 2; }));
    EXPECT_TRUE(Contains(Seq(), L"WM_COPYDATA_ADD_START(copied.mp4)"));
    EXPECT_EQ(Count(List(), L"受付(copied.mp4)"), 1u);
    EXPECT_EQ(QueueFile(), kEmptyQueue);

    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    DWORD code = 1;
    ASSERT_TRUE(service.process().Wait(20000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Contains(Seq(), L"WM_DECODE_CANCEL"));
    EXPECT_TRUE(Contains(List(), L"デコードキャンセルにより終了しました。"));
}

}  // namespace
