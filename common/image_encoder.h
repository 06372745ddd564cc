// Saving GDI bitmaps as BMP, JPEG or PNG through the installed GDI+ encoders.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <string>

// The class id of the first installed encoder whose MIME type is exactly `mimeType`.
bool FindImageEncoder(const wchar_t* mimeType, CLSID* clsid);

// Saves the bitmap with the encoder of `mimeType` and no parameters; false when no
// such encoder is installed.
bool SaveBitmapAs(const std::wstring& path, HBITMAP bitmap, const wchar_t* mimeType);
bool SaveImageAs(const std::wstring& path, Gdiplus::Image& image, const wchar_t* mimeType);

// The MIME type for a request's save_type (0 BMP, 1 JPEG, 2 PNG), null for others.
const wchar_t* MimeTypeForSaveType(int saveType);
