// Saving GDI bitmaps as BMP, JPEG or PNG through the installed GDI+ encoders.
#pragma once
#include <windows.h>
#include <gdiplus.h>
#include <string>

// The class id of the first installed encoder whose MIME type is exactly `mimeType`.
bool FindImageEncoder(const wchar_t* mimeType, CLSID* clsid);

// Saves the bitmap with the encoder of `mimeType` and no parameters; false when no
// such encoder is installed or the save failed.
bool SaveBitmapAs(const std::wstring& path, HBITMAP bitmap, const wchar_t* mimeType);
// The save's status; UnknownImageFormat when no such encoder is installed.
Gdiplus::Status SaveImageAs(const std::wstring& path, Gdiplus::Image& image, const wchar_t* mimeType);
// A few words on why a save failed, for the logs.
const wchar_t* SaveStatusText(Gdiplus::Status status);

// The pixels of an area of a bitmap without alpha (a 16-bit one, say) as a GDI bitmap
// made from it has them, written as PixelFormat24bppRGB or PixelFormat32bppARGB rows
// `stride` bytes apart from `scan0`.
bool CopyPixelsAsGdiBitmap(Gdiplus::Bitmap& bitmap, const Gdiplus::Rect& area, Gdiplus::PixelFormat format,
                           BYTE* scan0, INT stride);

// The MIME type for a request's save_type (0 BMP, 1 JPEG, 2 PNG), null for others.
const wchar_t* MimeTypeForSaveType(int saveType);
