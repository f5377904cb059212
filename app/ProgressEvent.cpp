#include "ProgressEvent.h"

#include <utility>

wxDEFINE_EVENT(EVT_VELOSTAR_PROGRESS, ProgressEvent);
wxDEFINE_EVENT(EVT_VELOSTAR_FINISHED, wxCommandEvent);

ProgressEvent::ProgressEvent(int stepsDone, std::wstring name, int stage, int detail)
    : wxCommandEvent(EVT_VELOSTAR_PROGRESS), m_stepsDone(stepsDone), m_name(std::move(name)), m_stage(stage),
      m_detail(detail)
{
}
