#include "service/dshow/movie_helper.h"

#include <new>

#include "common/scoped.h"
#include "service/dshow/media_type.h"
#include "service/dshow/sample_renderer.h"

using Microsoft::WRL::ComPtr;

// {C1F400A4-3F08-11D3-9F0B-006008039E37}
const CLSID CLSID_NullRendererFilter = {
    0xc1f400a4, 0x3f08, 0x11d3, {0x9f, 0x0b, 0x00, 0x60, 0x08, 0x03, 0x9e, 0x37}};

namespace {
std::wstring FilterName(IBaseFilter* filter) {
    FILTER_INFO info{};
    if (FAILED(filter->QueryFilterInfo(&info))) return L"";
    if (info.pGraph) info.pGraph->Release();
    return info.achName;
}

// The filter that owns a pin (one reference).
ComPtr<IBaseFilter> OwnerOf(IPin* pin) {
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info))) return nullptr;
    return AdoptComRef(info.pFilter);
}
}  // namespace

DShowMovieHelper_CL::~DShowMovieHelper_CL() { ReleaseAll(); }

HRESULT DShowMovieHelper_CL::Initialize(const GUID& subtype) {
    ReleaseAll();
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                  IID_PPV_ARGS(&graph));
    HRESULT setTypeResult = E_FAIL, addResult = E_FAIL;
    if (SUCCEEDED(hr)) {
        auto* capture = new (std::nothrow) DShowSampleRenderer();
        if (capture) {
            renderer = AdoptComRef(capture);
            captureFilter = static_cast<IBaseFilter*>(capture);
            if (SUCCEEDED(captureFilter.As(&sampleGrabber))) {
                AM_MEDIA_TYPE wanted{};
                wanted.majortype = MEDIATYPE_Video;
                wanted.subtype = subtype;
                wanted.formattype = GUID_NULL;
                setTypeResult = sampleGrabber->SetMediaType(&wanted);
                if (setTypeResult == S_OK) addResult = graph->AddFilter(captureFilter.Get(), L"Sample Grabber");
            }
        }
        graph.As(&mediaControl);
    }
    if (!graph || setTypeResult != S_OK || addResult != S_OK || !mediaControl) {
        ReleaseAll();
        return E_FAIL;
    }
    return S_OK;
}

ComPtr<IBaseFilter> DShowMovieHelper_CL::AddNullRenderer(const wchar_t* name) {
    ComPtr<IBaseFilter> nullRenderer;
    if (!graph || FAILED(CoCreateInstance(CLSID_NullRendererFilter, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_PPV_ARGS(&nullRenderer))))
        return nullptr;
    if (FAILED(graph->AddFilter(nullRenderer.Get(), name))) return nullptr;
    return nullRenderer;
}

bool DShowMovieHelper_CL::HasFilterNamed(const std::wstring& name) const {
    ComPtr<IEnumFilters> filters;
    if (!graph || FAILED(graph->EnumFilters(&filters))) return false;
    ComPtr<IBaseFilter> filter;
    while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        if (FilterName(filter.Get()) == name) return true;
    }
    return false;
}

bool DShowMovieHelper_CL::IsCaptureConnected() const {
    if (!captureFilter) return false;
    ComPtr<IPin> input = FindPinByDirection(captureFilter.Get(), PINDIR_INPUT);
    ComPtr<IPin> upstream;
    return input && input->ConnectedTo(&upstream) == S_OK;
}

HRESULT DShowMovieHelper_CL::EditFilterGraphToVideo() {
    // Held unconnected: it stands in the graph where a stock video renderer would.
    AddNullRenderer(L"NullRenderer-Video");
    HRESULT hr = E_FAIL;
    if (captureFilter) {
        ComPtr<IPin> input = FindPinByDirection(captureFilter.Get(), PINDIR_INPUT);
        if (input) {
            ComPtr<IPin> upstream;
            hr = input->ConnectedTo(&upstream);
        }
    }
    return hr;
}

HRESULT DShowMovieHelper_CL::EditFilterGraphToAudio() {
    ComPtr<IBaseFilter> nullAudio = AddNullRenderer(L"NullRenderer-Audio");

    ComPtr<IBaseFilter> audioRenderer, splitter;
    ComPtr<IEnumFilters> filters;
    if (graph && SUCCEEDED(graph->EnumFilters(&filters))) {
        ComPtr<IBaseFilter> filter;
        while (filters->Next(1, filter.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            const std::wstring name = FilterName(filter.Get());
            if (name == L"Default DirectSound Device") audioRenderer = filter;
            if (name == L"Avi Splitter" || name == L"MPEG-I Stream Splitter" || name == L"MPEG-2 Demultiplexer")
                splitter = filter;
        }
    }

    ComPtr<IPin> freedOutput;
    if (audioRenderer && splitter) {
        ComPtr<IPin> audioOut = FindOutputPinByMajorType(splitter.Get(), MEDIATYPE_Audio);
        ComPtr<IPin> downstream;
        if (audioOut && SUCCEEDED(audioOut->ConnectedTo(&downstream)) && downstream) {
            ComPtr<IBaseFilter> decoder = OwnerOf(downstream.Get());
            audioOut->Disconnect();
            downstream->Disconnect();
            if (decoder) RemoveDownstream(decoder.Get());
            freedOutput = audioOut;
        }
    } else if (audioRenderer) {
        ComPtr<IPin> input = FindPinByDirection(audioRenderer.Get(), PINDIR_INPUT);
        ComPtr<IPin> upstream;
        if (input && SUCCEEDED(input->ConnectedTo(&upstream)) && upstream) {
            upstream->Disconnect();
            input->Disconnect();
            graph->RemoveFilter(audioRenderer.Get());
            freedOutput = upstream;
        }
    }
    if (freedOutput && nullAudio) {
        ComPtr<IPin> nullInput = FindPinByDirection(nullAudio.Get(), PINDIR_INPUT);
        if (nullInput) graph->Connect(freedOutput.Get(), nullInput.Get());
    }
    return S_OK;
}

void DShowMovieHelper_CL::RemoveDownstream(IBaseFilter* filter) {
    if (!filter || !graph) return;
    ComPtr<IEnumPins> pins;
    if (SUCCEEDED(filter->EnumPins(&pins))) {
        ComPtr<IPin> pin;
        while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
            PIN_DIRECTION dir = PINDIR_INPUT;
            if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) continue;
            ComPtr<IPin> connected;
            if (FAILED(pin->ConnectedTo(&connected)) || !connected) continue;
            ComPtr<IBaseFilter> next = OwnerOf(connected.Get());
            pin->Disconnect();
            connected->Disconnect();
            if (next) RemoveDownstream(next.Get());
        }
    }
    graph->RemoveFilter(filter);
}

ComPtr<IPin> DShowMovieHelper_CL::FindPinByDirection(IBaseFilter* filter, PIN_DIRECTION direction) {
    ComPtr<IEnumPins> pins;
    if (!filter || FAILED(filter->EnumPins(&pins))) return nullptr;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        PIN_DIRECTION dir = PINDIR_INPUT;
        if (SUCCEEDED(pin->QueryDirection(&dir)) && dir == direction) return pin;
    }
    return nullptr;
}

ComPtr<IPin> DShowMovieHelper_CL::FindOutputPinByMajorType(IBaseFilter* filter, const GUID& majorType) {
    ComPtr<IEnumPins> pins;
    if (!filter || FAILED(filter->EnumPins(&pins))) return nullptr;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        PIN_DIRECTION dir = PINDIR_INPUT;
        if (FAILED(pin->QueryDirection(&dir)) || dir != PINDIR_OUTPUT) continue;
        if (majorType == GUID_NULL) return pin;
        ComPtr<IEnumMediaTypes> types;
        if (FAILED(pin->EnumMediaTypes(&types))) continue;
        AM_MEDIA_TYPE* mt = nullptr;
        bool offers = false;
        while (!offers && types->Next(1, &mt, nullptr) == S_OK) {
            offers = mt->majortype == majorType;
            DeleteMediaType(mt);
        }
        if (offers) return pin;
    }
    return nullptr;
}

uint64_t DShowMovieHelper_CL::SeekGeneration() const { return renderer ? renderer->SeekGeneration() : 0; }

void DShowMovieHelper_CL::ReleaseAll() {
    sampleGrabber.Reset();
    captureFilter.Reset();
    graph.Reset();
    mediaControl.Reset();
    mediaSeeking.Reset();
    basicAudio.Reset();
    renderer.Reset();
}
