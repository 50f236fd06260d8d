// The window's header first: the device layer's names come before <windows.h>'s macros. It brings this file's
// own header and Wide().
#include "Win32MainWindow.h"

#include <oleacc.h>

#include <algorithm>

namespace tarvo {

namespace {

// Every property this annotates, for clearing them.
const MSAAPROPID ANNOTATED[] = {PROPID_ACC_NAME, PROPID_ACC_VALUE, PROPID_ACC_STATE};

}  // namespace

ReaderAnnotations::ReaderAnnotations() {
    const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    startedCom_ = SUCCEEDED(started);  // S_FALSE too: each success is balanced by one CoUninitialize
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                reinterpret_cast<void**>(&services_))))
        services_ = nullptr;
}

ReaderAnnotations::~ReaderAnnotations() {
    Clear();
    if (services_) services_->Release();
    if (startedCom_) CoUninitialize();
}

void ReaderAnnotations::Annotate(const std::array<HWND, CONTROL_COUNT>& controls) {
    if (!services_) return;
    for (const ControlSpec& c : ControlTable()) {
        HWND h = controls[static_cast<int>(c.id)];
        if (!h) continue;
        bool annotated = false;
        // A label, a frame or a button is named by its own caption; a list by the label stacked before it,
        // which the name repeats for systems that do not look there.
        if (NamedBy(c.id)) {
            const std::wstring name = Wide(AccessibleName(c.id));
            annotated |= SUCCEEDED(services_->SetHwndPropStr(h, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, name.c_str()));
        }
        // Passed over: never written (lblSerialNumber), or below the client area and never enabled.
        const ReaderPresence presence = PresenceFor(c.id);
        if (presence != ReaderPresence::Shown && c.visible) {
            VARIANT state{};
            state.vt = VT_I4;
            state.lVal = presence == ReaderPresence::Hidden ? STATE_SYSTEM_INVISIBLE
                                                            : STATE_SYSTEM_OFFSCREEN | STATE_SYSTEM_UNAVAILABLE;
            annotated |= SUCCEEDED(services_->SetHwndProp(h, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_STATE, state));
        }
        if (annotated) annotated_.push_back(h);
    }
}

void ReaderAnnotations::ShowValue(HWND valueLabel, const std::string& value) {
    if (!services_ || !valueLabel) return;
    const std::wstring text = Wide(value);
    if (SUCCEEDED(services_->SetHwndPropStr(valueLabel, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_VALUE, text.c_str())) &&
        std::find(annotated_.begin(), annotated_.end(), valueLabel) == annotated_.end())
        annotated_.push_back(valueLabel);
}

void ReaderAnnotations::Clear() {
    if (services_)
        for (HWND h : annotated_)
            services_->ClearHwndProps(h, OBJID_CLIENT, CHILDID_SELF, ANNOTATED, static_cast<int>(std::size(ANNOTATED)));
    annotated_.clear();
}

}  // namespace tarvo
