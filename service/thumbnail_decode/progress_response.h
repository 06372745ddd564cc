// The progress response sent to the requester after every tile.
#pragma once
#include <string>

#include "common/messages.h"
#include "service/request_list.h"

KRB_ResponseDecode_CL MakeProgressResponse(const DecodeRequestItem_CL& request);

// Sends the response for the request's current state to the pipe named after the
// client. A request that names a requester window is answered only while a window
// with that title exists.
void SendProgressResponse(const DecodeRequestItem_CL& request, const std::wstring& clientName);
