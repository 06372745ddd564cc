// The filter graph of one movie: created with the capture renderer in it, rendered by
// the frame source, then edited so that video ends in the capture renderer and audio
// in a Null Renderer.
#pragma once
#include <windows.h>
#include <dshow.h>
#include "service/dshow/sample_grabber_interfaces.h"
#include <wrl/client.h>
#include <cstdint>
#include <string>

#include "service/dshow/sample_renderer.h"

// The stock Null Renderer. qedit.h of mingw-w64 does not declare it, and its strmiids
// defines CLSID_NullRenderer without a declaration, hence a name of our own.
// {C1F400A4-3F08-11D3-9F0B-006008039E37}
extern const CLSID CLSID_NullRendererFilter;

class DShowMovieHelper_CL {
public:
    DShowMovieHelper_CL() = default;
    virtual ~DShowMovieHelper_CL();
    DShowMovieHelper_CL(const DShowMovieHelper_CL&) = delete;
    DShowMovieHelper_CL& operator=(const DShowMovieHelper_CL&) = delete;

    // Graph manager, capture renderer ("Sample Grabber", accepting `subtype` and RGB32)
    // and IMediaControl. 0 or E_FAIL (everything released then).
    HRESULT Initialize(const GUID& subtype);
    // 0 when the capture renderer's input pin is connected, else the ConnectedTo error.
    HRESULT EditFilterGraphToVideo();
    // Replaces a "Default DirectSound Device" audio path by "NullRenderer-Audio". Always 0.
    HRESULT EditFilterGraphToAudio();
    void ReleaseAll();

    // First pin of the filter with that direction, in EnumPins order.
    static Microsoft::WRL::ComPtr<IPin> FindPinByDirection(IBaseFilter* filter, PIN_DIRECTION direction);
    // First output pin offering a type of that major type (GUID_NULL: the first output pin).
    static Microsoft::WRL::ComPtr<IPin> FindOutputPinByMajorType(IBaseFilter* filter, const GUID& majorType);
    // Takes the filter and everything connected downstream of it out of the graph.
    void RemoveDownstream(IBaseFilter* filter);
    // Whether the graph holds a filter of exactly this name.
    bool HasFilterNamed(const std::wstring& name) const;
    bool IsCaptureConnected() const;
    // The capture renderer's seek generation (0 without a graph).
    uint64_t SeekGeneration() const;

    Microsoft::WRL::ComPtr<IGraphBuilder> graph;
    Microsoft::WRL::ComPtr<IBaseFilter> captureFilter;
    Microsoft::WRL::ComPtr<ISampleGrabber> sampleGrabber;
    Microsoft::WRL::ComPtr<IMediaControl> mediaControl;
    Microsoft::WRL::ComPtr<IMediaSeeking> mediaSeeking;
    Microsoft::WRL::ComPtr<IBasicAudio> basicAudio;
    Microsoft::WRL::ComPtr<DShowSampleRenderer> renderer;

private:
    // Adds a new Null Renderer under that name; null when none can be made.
    Microsoft::WRL::ComPtr<IBaseFilter> AddNullRenderer(const wchar_t* name);
};
