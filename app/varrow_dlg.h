// Placeholder main dialog: shows the bare template until the real dialog lands.
#pragma once

#include <windows.h>

#include "settings/registry.h"

class CWnd {
 public:
  virtual ~CWnd() = default;
  HWND m_hWnd = nullptr;
};

class CVarrowDlg : public CWnd {
 public:
  explicit CVarrowDlg(UINT templateId, const varrow::RegistryRoots& roots = varrow::RegistryRoots::Real());
  INT_PTR DoModal();

 private:
  UINT templateId_;
  varrow::RegistryRoots roots_;
};
