#include "client/snapwick_main.h"

#include <windows.h>
#include <clocale>
#include <memory>

#include "client/command_line.h"
#include "client/frame_files.h"
#include "client/outside_program.h"
#include "client/process_state.h"
#include "client/response_pipe_server.h"
#include "client/strip_cutter.h"
#include "client/update/update_check.h"
#include "common/console.h"
#include "common/messages.h"
#include "common/module_path.h"
#include "common/pipe.h"
#include "common/scoped.h"

namespace snapwick {

namespace {
const wchar_t kCurrentVersion[] = L"1.0.0";
constexpr DWORD kResponseWaitMs = 60000;
// A run that just ended may still hold the response pipe for a moment.
constexpr DWORD kPipeRetryMs = 2000;
const wchar_t kUsage[] = L"usage: Snapwick <movie> <output image> <number of frames> normal|random";

KRB_RequestDecodeRequest_CL BuildRequest(const ClientArguments& arguments, const std::wstring& stripPath,
                                         int32_t requestId) {
    KRB_RequestDecodeRequest_CL request;
    request.clear_queue = 1;
    request.save_type = 1;  // JPEG
    request.frame_width = -1;
    request.frame_height = -1;
    DecodeItem_CL item;
    item.request_id = requestId;
    item.movie_path = arguments.movie;
    item.output_path = stripPath;
    item.positions.assign(static_cast<size_t>(arguments.frames), arguments.modeCode);
    request.items.push_back(item);
    return request;
}

void SendRequest(const KRB_RequestDecodeRequest_CL& request) {
    const std::string payload = ToPayload(request);
    PipeClient_CL client(std::wstring(L"Tessaloom-") + kClientName);
    if (client.open() == PipeClient_CL::OpenResult::Opened) client.send(payload.data(), payload.size());
}

// One JPEG per tile of the strip, and the outside program once for each file written.
void HandOverFrames(const KRB_ResponseDecode_CL& response, const std::wstring& stripPath,
                    const std::wstring& outputPath) {
    const size_t count = response.positions.size();
    const std::wstring program = ProgramFolder() + L"\\velmar.exe";
    CutStripIntoFrames(stripPath, outputPath, count, [&](size_t i) {
        RunOutsideProgram(program, PositionSeconds(response.positions[i]), FrameFileName(outputPath, i, count));
    });
}
}  // namespace

int SnapwickMain() {
    setlocale(LC_ALL, "Japanese");
    const std::wstring workFolder = WorkFolder();
    if (workFolder.empty()) {
        WriteStderrLine(L"the Documents folder cannot be found");
        return -1;
    }
    CreateDirectoryW(workFolder.c_str(), nullptr);
    settings.SetPath(workFolder + L"\\Snapwick.ini");
    updateLog.path = workFolder + L"\\Snapwick_log.txt";
    const std::wstring host = settings.GetString(kVersionSection, L"host", L"localhost");
    const std::wstring path = settings.GetString(kVersionSection, L"path", L"/Snapwick/Version.txt");
    UpdateCheck_CL(settings, host, path)
        .CheckForUpdate(std::wstring(kClientName) + L"のアップデート。", kCurrentVersion, GetDesktopWindow());

    CommandLine_CL commandLine;
    commandLine.parse(GetCommandLineW());
    ClientArguments arguments;
    std::wstring problem;
    if (!CheckArguments(commandLine, arguments, &problem)) {
        if (!problem.empty()) WriteStderrLine(problem);
        WriteStderrLine(kUsage);
        return -1;
    }

    ComApartment com;
    UniqueHandle responseEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    CreateDirectoryW(workFolder.c_str(), nullptr);
    tessaloomRequest.setup(kClientName, workFolder, ProgramFolder());

    // The response pipe first: while another run holds it, that run's service must
    // not be closed under it.
    MyPipeServer_CL pipeServer(kClientName, responseEvent.get());
    if (FAILED(pipeServer.start(kPipeRetryMs))) {
        WriteStderrLine(L"another Snapwick run is in progress (the pipe \"Snapwick\" is taken)");
        return 0;
    }
    tessaloomRequest.closeService();
    // The strip of an earlier run must not pass for this run's.
    const std::wstring stripPath = workFolder + L"\\Thumbnail.jpg";
    DeleteFileW(stripPath.c_str());
    if (!tessaloomRequest.findService()) WriteStderrLine(L"the service did not start: " + tessaloomRequest.executable());

    const int32_t requestId = RunRequestId(GetCurrentProcessId(), GetTickCount64());
    pipeServer.expect(requestId);
    SendRequest(BuildRequest(arguments, stripPath, requestId));
    // Needed only to cut the strip: started while the service works, not before it starts.
    GdiplusSession gdiplus;
    WaitForSingleObject(responseEvent.get(), kResponseWaitMs);
    if (std::unique_ptr<KRB_ResponseDecode_CL> response = pipeServer.takeResponse()) {
        HandOverFrames(*response, stripPath, arguments.output);
    } else {
        WriteStderrLine(L"no answer from the service within 60 s");
    }
    tessaloomRequest.closeService();
    return 0;
}

}  // namespace snapwick
