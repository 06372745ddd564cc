#include "service/thumbnail_decode/progress_response.h"

#include <windows.h>

#include "common/pipe.h"
#include "service/logs.h"

KRB_ResponseDecode_CL MakeProgressResponse(const DecodeRequestItem_CL& request) {
    KRB_ResponseDecode_CL response;
    response.request_id = request.request_id;
    response.error_image_used = request.error_image_used;
    response.decode_count = request.decode_count;
    response.request_count = request.request_count;
    response.duration = request.duration;
    response.positions = request.positions;
    return response;
}

void SendProgressResponse(const DecodeRequestItem_CL& request, const std::wstring& clientName) {
    const wchar_t* file = request.movie_path.c_str();
    // Requests from the pipe carry no title; their requester is the pipe itself, so
    // whether some untitled window happens to exist must not decide delivery.
    if (!request.requester_title.empty() &&
        FindWindowW(nullptr, request.requester_title.c_str()) == nullptr) {
        WriteLog(errorListLog, L"送信先ウインドウハンドルが取得できない(%s)",
                 request.requester_title.c_str());
        return;
    }
    const std::string payload = ToPayload(MakeProgressResponse(request));
    const int bytes = static_cast<int>(payload.size());
    WriteLog(mainLog,
             L"[LOG_LINE]  response-send-start request_id=%d decode_count=%d request_count=%d "
             L"bytes=%d file(%s)",
             request.request_id, request.decode_count, request.request_count, bytes, file);
    WriteLog(decodeListLog,
             L"(response) send-start request_id=%d decode_count=%d request_count=%d bytes=%d file(%s)",
             request.request_id, request.decode_count, request.request_count, bytes, file);
    {
        PipeClient_CL client(clientName);
        if (client.open() == PipeClient_CL::OpenResult::Opened) client.send(payload.data(), payload.size());
    }
    WriteLog(mainLog, L"[LOG_LINE]  response-send-end request_id=%d file(%s)", request.request_id, file);
    WriteLog(decodeListLog, L"(response) send-end request_id=%d file(%s)", request.request_id, file);
}
