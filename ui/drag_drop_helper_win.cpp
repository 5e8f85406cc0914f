#include "ui/drag_drop_helper_win.h"

#include <cstring>
#include <utility>

#include "ui/ui_handles_win.h"

namespace {

static_assert(sizeof(DROPDESCRIPTION) == 1044);

constexpr int kUrlChars = 2048;

}  // namespace

CDragDropHelper::CDragDropHelper() {
    oleResult = OleInitialize(nullptr);
    // Without the helper drags still work, only without the shell's drag image.
    if (FAILED(CoCreateInstance(CLSID_DragDropHelper, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(dropImageHelper.Put())))) {
        dropImageHelper.Reset();
    }
}

CDragDropHelper::~CDragDropHelper() {
    heldData.Reset();
    dropImageHelper.Reset();
    if (oleResult >= 0) OleUninitialize();
}

DWORD CDragDropHelper::ChooseEffect(DWORD allowed) {
    // Never a move: the source would delete what was dropped.
    if (allowed & DROPEFFECT_LINK) return DROPEFFECT_LINK;
    if (allowed & DROPEFFECT_COPY) return DROPEFFECT_COPY;
    return DROPEFFECT_NONE;
}

// The drop-image helper only draws the drag image: what it answers changes nothing.
IFACEMETHODIMP CDragDropHelper::DragEnter(IDataObject* data, DWORD, POINTL point, DWORD* effect) {
    if (effect) *effect = ChooseEffect(*effect);
    POINT at{point.x, point.y};
    if (dropImageHelper && data) {
        dropImageHelper->DragEnter(registeredWindow, data, &at, effect ? *effect : DROPEFFECT_NONE);
    }
    heldData.Reset();
    if (!data || FAILED(data->QueryInterface(IID_PPV_ARGS(heldData.Put())))) return S_OK;
    ComPtr<IShellItem> item;
    UniqueTaskString name;
    if (SUCCEEDED(ItemFromDataObject(heldData.Get(), item.Put())) &&
        SUCCEEDED(item->GetDisplayName(SIGDN_NORMALDISPLAY, name.Put())) && name) {
        // A data object that takes no extra formats simply shows no description.
        SetDropDescription(heldData.Get(), dropImageType, dropMessage ? dropMessage : L"%1",
                           name.Get());
    }
    return S_OK;
}

IFACEMETHODIMP CDragDropHelper::DragOver(DWORD, POINTL point, DWORD* effect) {
    if (effect) *effect = ChooseEffect(*effect);
    POINT at{point.x, point.y};
    if (dropImageHelper) dropImageHelper->DragOver(&at, effect ? *effect : DROPEFFECT_NONE);
    return S_OK;
}

IFACEMETHODIMP CDragDropHelper::DragLeave() {
    if (dropImageHelper) dropImageHelper->DragLeave();
    if (heldData) SetDropDescription(heldData.Get(), DROPIMAGE_INVALID, L"", L"");
    heldData.Reset();
    return S_OK;
}

IFACEMETHODIMP CDragDropHelper::Drop(IDataObject* data, DWORD keyState, POINTL point,
                                     DWORD* effect) {
    if (effect) *effect = ChooseEffect(*effect);
    POINT at{point.x, point.y};
    if (dropImageHelper && data) {
        dropImageHelper->Drop(data, &at, effect ? *effect : DROPEFFECT_NONE);
    }
    // The data object of the drag; OLE always enters before it drops.
    ComPtr<IDataObject> dropped = std::move(heldData);
    if (!dropped && data) dropped = ComPtr<IDataObject>::Copy(data);
    if (!dropped) return S_OK;
    ComPtr<IShellItemArray> items;
    if (SUCCEEDED(SHCreateShellItemArrayFromDataObject(dropped.Get(), IID_PPV_ARGS(items.Put())))) {
        HandleDroppedItems(items.Get(), keyState);
    } else {
        HandleDropFailure(dropped.Get());
    }
    return S_OK;
}

HRESULT CDragDropHelper::HandleDropFailure(IDataObject*) { return S_OK; }

HRESULT CDragDropHelper::SetDataBlob(IDataObject* data, CLIPFORMAT format, const void* block,
                                     SIZE_T size) {
    UniqueGlobal memory(GlobalAlloc(GPTR, size));
    if (!memory) return E_OUTOFMEMORY;
    std::memcpy(memory.Get(), block, size);
    FORMATETC formatEtc{format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = memory.Get();
    const HRESULT hr = data->SetData(&formatEtc, &medium, TRUE);
    // On success the data object owns the memory.
    if (SUCCEEDED(hr)) memory.Release();
    return hr;
}

HRESULT CDragDropHelper::SetDropDescription(IDataObject* data, DROPIMAGETYPE type,
                                            const wchar_t* message, const wchar_t* insert) {
    static const UINT format = RegisterClipboardFormatW(L"DropDescription");
    if (!format) return HRESULT_FROM_WIN32(GetLastError());
    DROPDESCRIPTION description{};
    description.type = type;
    lstrcpynW(description.szMessage, message ? message : L"", MAX_PATH);
    lstrcpynW(description.szInsert, insert ? insert : L"", MAX_PATH);
    return SetDataBlob(data, static_cast<CLIPFORMAT>(format), &description, sizeof description);
}

HRESULT CDragDropHelper::ItemFromDataObject(IDataObject* data, IShellItem** item) {
    *item = nullptr;
    UniqueIdList idList;
    if (SUCCEEDED(SHGetIDListFromObject(data, idList.Put()))) {
        return SHCreateItemFromIDList(idList.Get(), IID_PPV_ARGS(item));
    }
    // Wine's shell data objects give no ID list of their own; their shell ID
    // list still names the items.
    ComPtr<IShellItemArray> items;
    if (SUCCEEDED(SHCreateShellItemArrayFromDataObject(data, IID_PPV_ARGS(items.Put())))) {
        return items->GetItemAt(0, item);
    }

    ComPtr<IDataObject> object;
    HRESULT hr = data->QueryInterface(IID_PPV_ARGS(object.Put()));
    if (FAILED(hr)) return hr;
    static const UINT urlFormat = RegisterClipboardFormatW(L"UniformResourceLocator");
    if (!urlFormat) return HRESULT_FROM_WIN32(GetLastError());
    FORMATETC formatEtc{static_cast<CLIPFORMAT>(urlFormat), nullptr, DVASPECT_CONTENT, -1,
                        TYMED_HGLOBAL};
    STGMEDIUM medium{};
    hr = object->GetData(&formatEtc, &medium);
    if (FAILED(hr)) return hr;
    wchar_t url[kUrlChars] = {};
    {
        GlobalLockScope<const char> text(medium.hGlobal);
        if (text.Get()) {
            // The text is in the ANSI code page and need not end inside the
            // block. A text too long to convert gives no item.
            const int length = static_cast<int>(strnlen(text.Get(), GlobalSize(medium.hGlobal)));
            const int converted =
                MultiByteToWideChar(CP_ACP, 0, text.Get(), length, url, kUrlChars - 1);
            url[converted > 0 ? converted : 0] = L'\0';
        }
    }
    ReleaseStgMedium(&medium);
    if (!url[0]) return E_FAIL;
    return SHCreateItemFromParsingName(url, nullptr, IID_PPV_ARGS(item));
}

bool CDragDropHelper::RegisterDropTarget(HWND window) {
    // Wine registers without OLE; Windows would refuse. Only an initialised
    // OLE gets a drop target.
    if (oleResult < 0 || !window) return false;
    if (FAILED(RegisterDragDrop(window, this))) return false;
    registeredWindow = window;
    return true;
}

void CDragDropHelper::RevokeDropTarget() {
    if (!registeredWindow) return;
    RevokeDragDrop(registeredWindow);
    registeredWindow = nullptr;
}
