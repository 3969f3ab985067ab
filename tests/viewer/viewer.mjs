// Opens the panorama named by ?pano=URL in Photo Sphere Viewer with its
// default equirectangular adapter, which reads the GPano XMP of the file, and
// publishes what the viewer made of it:
//   window.viewerResult = { image, xmp, panoData, view }  once it is on screen
//   window.viewerError  = "reason"                        if anything failed
// image: the decoded picture's size in pixels.
// xmp: the GPano values as the viewer's XMP parser reads them from the file
//   (null when the file has no GPano XMP), before any correction.
// panoData: what the viewer actually uses: the XMP values merged with the
//   picture's size, rescaled when CroppedAreaImageWidthPixels differs from the
//   picture's width and clamped when they do not fit the sphere.
// view: the camera direction after loading, in degrees; the viewer turns to
//   InitialViewHeadingDegrees / InitialViewPitchDegrees when both are present.
import { Viewer } from '@photo-sphere-viewer/core';

const kDegreesPerRadian = 180 / Math.PI;

function ProbeWebGL() {
  const canvas = document.createElement('canvas');
  const gl = canvas.getContext('webgl2') || canvas.getContext('webgl');
  if (!gl) return null;
  const info = gl.getExtension('WEBGL_debug_renderer_info');
  return {
    version: gl.getParameter(gl.VERSION),
    renderer: info ? gl.getParameter(info.UNMASKED_RENDERER_WEBGL) : gl.getParameter(gl.RENDERER),
  };
}

function NextFrame() {
  return new Promise((resolve) => requestAnimationFrame(() => resolve()));
}

async function Open() {
  const pano = new URLSearchParams(location.search).get('pano');
  if (!pano) throw new Error('no ?pano= in the page address');

  const webgl = ProbeWebGL();
  window.viewerWebGL = webgl;
  if (!webgl) throw new Error('WebGL is not available in this browser');

  // No panorama in the constructor: setPanorama's promise then settles only
  // after the texture is shown and the initial view applied.
  const viewer = new Viewer({
    container: document.getElementById('viewer'),
    navbar: false,
    loadingTxt: '',
  });
  window.viewer = viewer;

  let loaded = null;
  viewer.addEventListener('panorama-loaded', (e) => { loaded = e.data; });
  await viewer.setPanorama(pano);
  if (!loaded) throw new Error('the viewer never sent panorama-loaded');

  // Read the file again and run the adapter's own XMP parser on it, to see
  // the values before the viewer merges and corrects them.
  const blob = await (await fetch(pano)).blob();
  const xmp = await viewer.adapter.loadXMP(blob);
  const bitmap = await createImageBitmap(blob);

  await NextFrame();
  await NextFrame();
  const position = viewer.getPosition();
  window.viewerResult = {
    image: { width: bitmap.width, height: bitmap.height },
    xmp,
    panoData: { ...loaded.panoData },
    view: {
      yawDegrees: position.yaw * kDegreesPerRadian,
      pitchDegrees: position.pitch * kDegreesPerRadian,
      zoomLevel: viewer.getZoomLevel(),
    },
  };
}

Open().catch((err) => {
  // An image that does not decode rejects with the <img> element's error event.
  window.viewerError = err instanceof Event
    ? `the browser could not decode the picture (${err.type} event)`
    : String(err && err.message ? err.message : err);
});
