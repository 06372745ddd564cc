#include "testing/support/service_fixture.h"

#include <algorithm>
#include <cstdlib>

#include "common/pipe.h"

namespace testing_support {

ResponseListener::ResponseListener(const std::wstring& pipeName, bool gated) : gated_(gated) {
    pipe_.reset(CreateNamedPipeW(PipePath(pipeName).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 0, 1, 1024, gated ? 1 : kPipeInBufferBytes, 0, nullptr));
    if (!pipe_) return;
    messageEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, pipeName.c_str()));
    thread_ = std::thread([this] { Run(); });
}

ResponseListener::~ResponseListener() {
    SetEvent(stop_.get());
    if (thread_.joinable()) thread_.join();
}

std::vector<KRB_ResponseDecode_CL> ResponseListener::Responses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return responses_;
}

void ResponseListener::Run() {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED io = {};  // the connect's, then the reads'
    io.hEvent = event.get();
    for (;;) {
        ResetEvent(event.get());
        if (!ConnectNamedPipe(pipe_.get(), &io) && GetLastError() == ERROR_IO_PENDING) {
            HANDLE handles[2] = {event.get(), stop_.get()};
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIo(pipe_.get());
                return;
            }
        }
        if (gated_) {
            SetEvent(held_.get());
            HANDLE handles[2] = {release_.get(), stop_.get()};
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) return;
        }
        uint32_t length = 0;
        if (ReadPipeExact(pipe_.get(), io, &length, 4, stop_.get()) && length <= kPipeInBufferBytes) {
            std::string payload(length, '\0');
            if (length == 0 || ReadPipeExact(pipe_.get(), io, &payload[0], length, stop_.get())) {
                ByteReader in(payload.data(), payload.size());
                int32_t type = 0;
                KRB_ResponseDecode_CL response;
                if (peekMessageType(in, type) && type == ResponseDecode && response.read(in) == kReadOk) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    responses_.push_back(response);
                }
            }
        }
        // The writer sets the event after its last byte; wait for it so that the
        // disconnect does not cut a message that is still being written.
        WaitForSingleObject(messageEvent_.get(), 5000);
        DisconnectNamedPipe(pipe_.get());
    }
}

DecodeItem_CL MakeItem(int32_t id, const std::wstring& movie, const std::wstring& output,
                       const std::vector<int64_t>& positions) {
    DecodeItem_CL item;
    item.request_id = id;
    item.movie_path = movie;
    item.output_path = output;
    item.positions = positions;
    return item;
}

KRB_RequestDecodeRequest_CL MakeRequest(const std::vector<DecodeItem_CL>& items, int width, int height, int saveType) {
    KRB_RequestDecodeRequest_CL request;
    request.save_type = saveType;
    request.frame_width = width;
    request.frame_height = height;
    request.items = items;
    return request;
}

bool SendRequest(const std::wstring& client, const KRB_RequestDecodeRequest_CL& request, DWORD timeoutMs) {
    const std::string payload = ToPayload(request);
    const auto sent = [&] {
        PipeClient_CL writer(L"Tessaloom-" + client);
        return writer.open() == PipeClient_CL::OpenResult::Opened && writer.send(payload.data(), payload.size());
    };
    return WaitFor(sent, std::chrono::milliseconds(timeoutMs));
}

ServiceFixture::ServiceFixture(const wchar_t* tag, bool gated)
    : folder(tag), client(UniqueName(tag)), listener(client, gated), service(client, folder.path()) {
    ini.SetPath(folder.file(L"Thumbnail.ini"));
}

bool ServiceFixture::WaitForLine(const std::wstring& logName, const std::wstring& line, DWORD timeoutMs) {
    const auto logged = [&] { return Contains(ReadLogMessages(folder.file(logName)), line); };
    return WaitFor(logged, std::chrono::milliseconds(timeoutMs));
}

std::vector<KRB_ResponseDecode_CL> ServiceFixture::ResponsesFor(int32_t id) {
    std::vector<KRB_ResponseDecode_CL> mine = listener.Responses();
    mine.erase(std::remove_if(mine.begin(), mine.end(), [id](const auto& r) { return r.request_id != id; }), mine.end());
    return mine;
}

bool ServiceFixture::WaitForFinal(int32_t id, DWORD timeoutMs) {
    const auto final = [&] {
        const auto mine = ResponsesFor(id);
        return std::any_of(mine.begin(), mine.end(), [](const auto& r) { return r.decode_count == 0; });
    };
    return WaitFor(final, std::chrono::milliseconds(timeoutMs));
}

void ServiceFixture::Send(int32_t id, const std::wstring& movie, int tiles) {
    std::vector<int64_t> positions;
    for (int t = 1; t <= tiles; ++t) positions.push_back(t * kSecond);
    ASSERT_TRUE(SendRequest(client, MakeRequest({MakeItem(id, movie, Output(std::to_wstring(id)), positions)}, 32, 24)));
}

void ServiceFixture::Request(int32_t id, const std::vector<std::wstring>& movies,
                             const std::vector<int64_t>& positions, int saveType, int width, int height) {
    std::vector<DecodeItem_CL> items;
    for (size_t i = 0; i < movies.size(); ++i)
        items.push_back(MakeItem(id + static_cast<int32_t>(i), movies[i], Output(std::to_wstring(id + i)), positions));
    ASSERT_TRUE(SendRequest(client, MakeRequest(items, width, height, saveType)));
    ASSERT_TRUE(WaitForFinal(items.back().request_id));
}

std::string ServiceFixture::Tiles(int32_t id, int count) {
    ImagePixels image;
    if (!LoadImagePixels(Output(std::to_wstring(id)), image)) return "no image";
    return TileKinds(image, 32, count);
}

std::string TileKinds(const ImagePixels& image, int tileWidth, int count) {
    static const Rgb kErrorImage = FromHex(0xC000C0);
    std::string kinds;
    for (int j = 0; j < count; ++j) {
        const Rgb c = image.Average(j * tileWidth, 0, tileWidth, image.height);
        const bool grey = std::abs(c.r - c.g) <= 8 && std::abs(c.g - c.b) <= 8;
        kinds += Near(c, kErrorImage, 40) ? 'E' : grey && c.g > 8 ? 'D' : '?';  // black: not drawn
    }
    return kinds;
}

}  // namespace testing_support
