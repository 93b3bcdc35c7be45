// The methods each folder defines, next to their bodies; the module entry puts them
// into the classes in the classes' order.
#pragma once

#include "binding/funclike.hpp"

namespace cep {

namespace frame {
extern const MethodDef kInit, kGetInverseColor, kSetEnableEditorMenu, kSetAddedItems, kSetCurve, kSetRoi, kPlot;
}

namespace curve_model {
extern const MethodDef kPlotIndicator, kPlotFocusControlPoint, kAddCvPoint, kRemoveCvPoints, kGenerateControlPoints,
    kBuildCurve;
}

namespace pointer_editing {
extern const MethodDef kMousePressEvent, kMouseDoubleClickEvent, kMouseRelease, kHoverMoveEvent;
}

namespace target_and_menu {
extern const MethodDef kContextMenuEvent, kOnAddCvPoint, kOnRemoveCvPoint, kTargetWhellEvent, kTargetMoved,
    kSetEditorType;
}

namespace export_ {
extern const MethodDef kOnSaveImageAs, kSetVolumeData, kSetVolumeGCurves, kGetCurrentFrameAsUint8,
    kRenderImageWithCurves, kOnSaveStackImageAs, kOnSaveImageWithCurveAs, kOnSaveStackImageWithCurveAs,
    kStartSaveWorker, kOnSaveProgress, kOnSaveFinished, kOnSaveError;
namespace worker {
extern const MethodDef kWorkerInit, kWorkerRun, kWorkerSaveStack, kWorkerSaveStackWithCurve;
}
}  // namespace export_

}  // namespace cep
