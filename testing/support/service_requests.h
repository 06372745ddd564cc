// Sending decode requests to a running service as its clients do, over its pipe.
#pragma once
#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

#include "common/messages.h"

namespace testing_support {

DecodeItem_CL MakeItem(int32_t id, const std::wstring& movie, const std::wstring& output,
                       const std::vector<int64_t>& positions);

// One request of the given items, each tile width x height (-1: the frame's size).
KRB_RequestDecodeRequest_CL MakeRequest(const std::vector<DecodeItem_CL>& items, int width = -1,
                                        int height = -1, int saveType = 0);

// Writes the request to "Tessaloom-<client>", retrying while no process owns the pipe
// (a service between two processes). False when it could not be delivered in time.
bool SendRequest(const std::wstring& client, const KRB_RequestDecodeRequest_CL& request,
                 DWORD timeoutMs = 30000);

}  // namespace testing_support
