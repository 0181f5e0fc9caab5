// SPDX-License-Identifier: Apache-2.0
package com.zelk.sdk;

/** The phases of the scene that shows a container. */
public enum ScenePhase {
  ACTIVE,
  INACTIVE,
  BACKGROUND;
}
