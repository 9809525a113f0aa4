// tarvo/tarvo.h: the whole public face of the tarvo library, in namespace tarvo.
//
//   tarvo/body.h      the body record, its owner Body and voxel access
//   tarvo/file.h      reading and writing shape form files (*.3d)
//   tarvo/geometry.h  measuring, the plane cut, and cut_as_program (what the tarvo program does)
//   tarvo/mesh.h      the surface as a triangle mesh (voxel boundary or smooth) and its STL/PLY/OBJ files
//   tarvo/quantities.h  shape figures (volume, surface area, axes, pores) and plane sections
//   tarvo/shapes.h    particles made from geometric descriptions
//   tarvo/status.h    how a failure is reported
//   tarvo/version.h   the version
//
// Link the CMake target tarvo::tarvo (find_package(tarvo)).
#pragma once

#include "tarvo/body.h"
#include "tarvo/file.h"
#include "tarvo/geometry.h"
#include "tarvo/mesh.h"
#include "tarvo/quantities.h"
#include "tarvo/shapes.h"
#include "tarvo/status.h"
#include "tarvo/version.h"
