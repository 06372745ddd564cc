// Opening a movie through DirectShow: the graph that ends in our capture renderer, and
// the size of the picture that reaches it.
#include "service/frame_source/thumbnail_maker.h"

#include <dvdmedia.h>
#include <uuids.h>

#include "common/scoped.h"
#include "service/dshow/media_type.h"
#include "service/logs.h"

using Microsoft::WRL::ComPtr;

namespace {
// QueryInterface by IID: mingw-w64's control.h gives some of these interfaces no __uuidof.
template <typename T>
HRESULT QueryByIid(IUnknown* from, const IID& iid, ComPtr<T>& to) {
    if (!from) return E_POINTER;
    return from->QueryInterface(iid, reinterpret_cast<void**>(to.ReleaseAndGetAddressOf()));
}
}  // namespace

HRESULT DShowThumbnailMaker_CL::BuildGraph(const std::wstring& path) {
    if (movieHelper.Initialize(MEDIASUBTYPE_YUY2) != S_OK) {
        WriteLog(mainLog, L"SetContent初期化失敗。");
        return E_FAIL;
    }

    BString file(path.c_str());
    const HRESULT rendered = file.get() ? movieHelper.mediaControl->RenderFile(file.get()) : E_OUTOFMEMORY;
    if (rendered != S_OK) {
        // A partial render (no sound device for the audio, say) still serves when the
        // video reached our renderer.
        const bool usable = movieHelper.HasFilterNamed(L"Video Renderer") ||
                            (SUCCEEDED(rendered) && movieHelper.IsCaptureConnected());
        if (!usable) {
            WriteLog(mainLog, L"コーデックが存在しないか、非対応ファイルです。");
            return E_FAIL;
        }
    }

    QueryByIid(movieHelper.graph.Get(), IID_IMediaSeeking, movieHelper.mediaSeeking);
    QueryByIid(movieHelper.graph.Get(), IID_IBasicAudio, movieHelper.basicAudio);
    if (FAILED(QueryByIid(movieHelper.graph.Get(), IID_IMediaEventEx, mediaEvent))) {
        WriteLog(mainLog, L"IMediaEventExの取得失敗");
        return E_FAIL;
    }

    if (movieHelper.mediaSeeking) {
        movieHelper.mediaSeeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME);
        LONGLONG length = 0;
        if (SUCCEEDED(movieHelper.mediaSeeking->GetDuration(&length))) duration = length;
    }

    if (movieHelper.sampleGrabber) {
        movieHelper.sampleGrabber->SetBufferSamples(TRUE);
        movieHelper.sampleGrabber->SetCallback(captureCallback.Get(), 0);
    }

    const HRESULT video = movieHelper.EditFilterGraphToVideo();
    const HRESULT audio = movieHelper.EditFilterGraphToAudio();
    if (video != S_OK || audio != S_OK) {
        WriteLog(mainLog, L"コーデックが存在しないか、非動画ファイルです。");
        return E_FAIL;
    }

    ComPtr<IMediaFilter> mediaFilter;
    if (SUCCEEDED(QueryByIid(movieHelper.graph.Get(), IID_IMediaFilter, mediaFilter))) mediaFilter->SetSyncSource(nullptr);
    mediaFilter.Reset();
    return S_OK;
}

HRESULT DShowThumbnailMaker_CL::MeasurePicture(const std::wstring& path) {
    OwnedMediaType connected;
    if (!movieHelper.sampleGrabber || FAILED(movieHelper.sampleGrabber->GetConnectedMediaType(connected.out()))) {
        WriteLog(mainLog, L"(error)GetConnectedMediaType()");
        return E_FAIL;
    }

    int connectedWidth = 0, connectedHeight = 0;
    if (const BITMAPINFOHEADER* header = VideoBitmapHeader(connected.get())) {
        connectedWidth = header->biWidth < 0 ? -header->biWidth : header->biWidth;
        connectedHeight = header->biHeight < 0 ? -header->biHeight : header->biHeight;
    }
    DisplayGeometry reported;
    const BYTE* block = connected.get().formattype == FORMAT_VideoInfo2 ? connected.format(sizeof(VIDEOINFOHEADER2))
                                                                        : nullptr;
    if (block) {
        const auto* info = reinterpret_cast<const VIDEOINFOHEADER2*>(block);
        reported = PixelAspectFromPictureAspect(info->dwPictAspectRatioX, info->dwPictAspectRatioY, connectedWidth,
                                                connectedHeight);
    }
    dsGeometry = CombineGeometry(reported, containerGeometry);
    captureCallback->SetConnectedType(std::move(connected));
    const bool connectedValid = connectedWidth >= 1 && connectedHeight >= 1;

    long videoWidth = 0, videoHeight = 0;
    bool sourceValid = false;
    ComPtr<IBasicVideo> basicVideo;
    if (SUCCEEDED(QueryByIid(movieHelper.graph.Get(), IID_IBasicVideo, basicVideo)) &&
        SUCCEEDED(basicVideo->GetVideoSize(&videoWidth, &videoHeight)))
        sourceValid = videoWidth >= 1 && videoHeight >= 1;
    basicVideo.Reset();

    if (sourceValid) {
        sourceWidth = videoWidth;
        sourceHeight = videoHeight;
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-route) route=ds setcontent file(%s) source_size=%dx%d connected_size=%dx%d",
                     path.c_str(), sourceWidth, sourceHeight, connectedWidth, connectedHeight);
    } else if (connectedValid) {
        sourceWidth = connectedWidth;
        sourceHeight = connectedHeight;
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-route) route=ds setcontent file(%s) source_size=%dx%d", path.c_str(),
                     sourceWidth, sourceHeight);
    } else {
        for (LogFile* log : {&mainLog, &decodeListLog})
            WriteLog(*log, L"(decode-route) route=ds setcontent file(%s) source_size=unknown", path.c_str());
    }
    return S_OK;
}
