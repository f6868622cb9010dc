// SPDX-License-Identifier: BSD-3-Clause
// The kernel's one include for front ends: every topic header, from the
// elements and space groups to the job, its set-up, its searches and its
// output files. The stages that run a whole job are stages.h's.
#ifndef PULVINA_KERNEL_H
#define PULVINA_KERNEL_H

#include "bonds.h"
#include "combination.h"
#include "coordinate.h"
#include "crystal.h"
#include "diffractometer.h"
#include "element.h"
#include "evaluation.h"
#include "file.h"
#include "intensity.h"
#include "job.h"
#include "model.h"
#include "profile.h"
#include "reflections.h"
#include "random.h"
#include "search.h"
#include "setup.h"
#include "spacegroup.h"
#include "statistic.h"
#include "utils.h"
#include "writers.h"

#endif
