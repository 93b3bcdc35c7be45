// The methods each folder defines, next to their bodies; the module entry puts them
// into the classes in the classes' order.
#pragma once

#include "binding/funclike.hpp"

namespace cep {

namespace plot {
extern const MethodDef kInit, kGetInverseColor, kSetCurve, kSetRoi, kSetAddedItems, kSetVolumeData,
    kSetVolumeGCurves, kPlot;
}

namespace menus {
extern const MethodDef kSetEnableEditorMenu, kContextMenuEvent, kOnAddCvPoint, kOnRemoveCvPoint, kSetEditorType;
}

namespace anchors {
extern const MethodDef kGenerateControlPoints, kAddCvPoint, kRemoveCvPoints, kPlotIndicator, kPlotFocusControlPoint,
    kTargetWhellEvent, kTargetMoved;
}

namespace curves {
extern const MethodDef kBuildCurve;
}

namespace strokes {
extern const MethodDef kMousePressEvent, kMouseDoubleClickEvent, kMouseRelease;
}

namespace hover {
extern const MethodDef kHoverMoveEvent;
}

namespace saving {
extern const MethodDef kOnSaveImageAs, kGetCurrentFrameAsUint8, kRenderImageWithCurves, kOnSaveStackImageAs,
    kOnSaveImageWithCurveAs, kOnSaveStackImageWithCurveAs, kStartSaveWorker, kOnSaveProgress, kOnSaveFinished,
    kOnSaveError;
namespace worker {
extern const MethodDef kInit, kRun, kSaveStack, kSaveStackWithCurve;
}
}  // namespace saving

}  // namespace cep
