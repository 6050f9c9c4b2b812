"""The video pipeline of `kelmora video`: a detector and the tracker over the frames of a video file, a
folder of numbered images, a camera or a stream.

- `pipeline`: a run (`track_video`) from the first frame to the finished files, and its summary;
- `frames`: frames in (files, image folders, cameras, streams) and the MP4 video out;
- `detectors`: the detector contract and its checks, the HOG people detector, and the registry of
  built-in detectors by name that resolves --detector (anything else is a plug-in);
- `motion`, `onnx`: the background-subtraction and the ONNX-model detectors;
- `appearance`: a colour histogram per box, the tracker's appearance feature;
- `annotate`: boxes, ids, trails and the contact sheet drawn on the frames.
"""
