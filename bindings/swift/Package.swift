// swift-tools-version:5.7
// SPDX-License-Identifier: Apache-2.0
// The Swift package for Apple hosts: the C interface as the binary target CZelk (an XCFramework
// of libzelk-c for iOS and macOS, with <zelk/zelk.h> and its module map in its Headers), and
// Zelk, a thin Swift layer over it. Not built here: see README.md.
import PackageDescription

let package = Package(
  name: "Zelk",
  platforms: [.iOS(.v14), .macOS(.v11)],
  products: [.library(name: "Zelk", targets: ["Zelk"])],
  targets: [
    .binaryTarget(name: "CZelk", path: "CZelk.xcframework"),
    .target(name: "Zelk", dependencies: ["CZelk"], path: "Sources/Zelk"),
  ]
)
