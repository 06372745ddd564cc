// The service's intake in this process, fed one hostile input at a time. A
// MainWindow_CL with its real window holds a known queue while a job runs on its
// head, and each input reaches the path that takes it in the service (the pipe
// handler, the WM_COPYDATA handler, Load of the queue file) from memory that ends at a
// no-access page. Afterwards the queue is checked: nothing queued may be lost, and
// only a well-formed input may change it, in the way its request says. Version files
// go to Snapwick's reader, from such memory too: a well-formed one must read as what
// it says, and no value may be longer than the body.
#pragma once
#include <windows.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/scoped.h"
#include "service/main_window.h"
#include "service/request_list.h"
#include "testing/intake_fuzz/hostile_cases.h"

// A pipe payload as the service's pipe handler reads it.
struct PipeRequest {
    int32_t type = 0;  // DeleteRequest, DecodeRequest or DecodePriorityRequest; 0 when ignored
    KRB_RequestDecodeRequest_CL decode;
    std::vector<int32_t> ids;  // of a delete or priority request
};
PipeRequest ReadPipeRequest(const unsigned char* bytes, size_t size);

struct CaseOutcome {
    bool accepted = false;  // taken as a well-formed request, item or queue file
    size_t itemsLost = 0;   // items gone without a request that names them
    std::string wrong;      // anything else that is not as it must be; empty when all is well
};

class IntakeFuzzer {
public:
    IntakeFuzzer(const std::wstring& workFolder, const std::wstring& clientName);
    IntakeFuzzer(const IntakeFuzzer&) = delete;
    IntakeFuzzer& operator=(const IntakeFuzzer&) = delete;

    // The window exists and the known queue is in place.
    bool Ready() const { return hwnd_ != nullptr; }
    CaseOutcome Feed(const HostileCase& input);

    // The queue that every input meets: a head in progress and four waiting items;
    // and the pipe request that makes it.
    static std::vector<DecodeRequestItem_CL> KnownQueue();
    static KRB_RequestDecodeRequest_CL KnownRequest();
    MainWindow_CL& Window() { return window_; }
    DecodeRequestList_CL& Queue() { return window_.requestList; }

private:
    CaseOutcome FeedPipe(const unsigned char* bytes, size_t size);
    CaseOutcome FeedCopyData(const unsigned char* bytes, size_t size);
    CaseOutcome FeedQueueFile(const HostileCase& input, const unsigned char* bytes);
    static CaseOutcome FeedVersionFile(const HostileCase& input, const unsigned char* bytes);
    void RestoreKnownQueue();

    GdiplusSession gdiplus_;
    MainWindow_CL window_;
    HWND hwnd_ = nullptr;
};

// The totals of a run of cases, and the first problems found.
struct FuzzTotals {
    uint64_t cases = 0;
    uint64_t accepted = 0;
    uint64_t itemsLost = 0;
    uint64_t wrong = 0;
    uint64_t casesByTarget[kIntakeTargetCount] = {};
    uint64_t acceptedByTarget[kIntakeTargetCount] = {};
    std::vector<std::string> problems;  // at most ten, each with its case number
};

// Feeds cases first .. first + count - 1 of run `seed`; `beforeCase` is told each
// case number before its case is fed.
FuzzTotals RunHostileCases(IntakeFuzzer& fuzzer, uint64_t seed, uint64_t first, uint64_t count,
                           const std::function<void(uint64_t)>& beforeCase = {});
