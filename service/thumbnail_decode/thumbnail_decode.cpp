#include "service/thumbnail_decode/thumbnail_decode.h"

#include "common/log.h"
#include "common/scoped.h"
#include "service/app/app.h"
#include "service/main_window.h"

int ThumbnailDecode(MainWindow_CL& window) {
    WriteLog(sequenceLog, L"ThumbnailDecode_START");
    DecodeRequestItem_CL request;
    if (!window.requestList.PeekHead(request)) return -1;
    WriteLog(sequenceLog, L"ThumbnailDecode_001(残り%d file)", request.request_count);
    settings.SetInt(kSettingsSection, L"run_decode", 1);
    {
        ComApartment com;
        WriteLog(sequenceLog, L"ThumbnailDecode_002");
        WriteLog(sequenceLog, L"ThumbnailDecode_003");
        WriteLog(sequenceLog, L"ThumbnailDecode_003-1");
        WriteLog(sequenceLog, L"ThumbnailDecode_003-2");
        WriteLog(sequenceLog, L"ThumbnailDecode_003-3");

        if (window.isQuitRequested == 0) {
            window.requestList.RemoveHead();
            WriteLog(sequenceLog, L"ThumbnailDecode_SAVE_START2");
            window.requestList.Save(window.QueuePath());
            WriteLog(sequenceLog, L"ThumbnailDecode_SAVE_END2");
        }
        WriteLog(sequenceLog, L"ThumbnailDecode_004");
        settings.SetInt(kSettingsSection, L"run_decode", 0);
    }
    KillTimer(window.hwnd, NO_RESPONSE_TIMER_ID);
    WriteLog(sequenceLog, L"ThumbnailDecode_END");
    return 0;
}
