// The archive calendar of one slot and its player.
import WaveSurfer from '/assets/js/wavesurfer/wavesurfer.esm.js';
import TimelinePlugin from '/assets/js/wavesurfer/plugins/timeline.esm.js';
import RegionsPlugin from '/assets/js/wavesurfer/plugins/regions.esm.js';

let slot = '0';
let calendar = null;
let source = null;
let player = null;

function eventsUrl() {
  return '/ws/slot/' + slot + '/calendarevents';
}

// A span of the archive as one file, cut from the recordings that cover it.
function clipUrl(from, to, format) {
  return '/ws/slot/' + slot + '/clip?start=' + encodeURIComponent(from.toISOString()) + '&end=' +
    encodeURIComponent(to.toISOString()) + '&format=' + format;
}

// Shows the span and its two download links in the element with the given id
// prefix ("clip" in the player, "span" above the calendar).
function showClip(prefix, from, to) {
  document.getElementById(prefix + 'Text').textContent = from.format('LTS') + ' \u2013 ' + to.format('LTS');
  document.getElementById(prefix + 'Wav').setAttribute('href', clipUrl(from, to, 'wav'));
  document.getElementById(prefix + 'Mp3').setAttribute('href', clipUrl(from, to, 'mp3'));
  document.getElementById(prefix).style.display = '';
}

function loudnessText(props) {
  if (props.loudness === undefined) return '';
  const parts = [props.loudness.toFixed(1) + ' LUFS'];
  if (props.loudnessrange !== undefined) parts.push('range ' + props.loudnessrange.toFixed(1) + ' LU');
  if (props.truepeak !== undefined) parts.push('true peak ' + props.truepeak.toFixed(1) + ' dBTP');
  return 'Loudness ' + parts.join(', ');
}

function fillSlots(slots) {
  const select = document.getElementById('slot');
  for (const s of slots) {
    // names come from the slot settings: text, never markup
    const option = document.createElement('option');
    option.value = String(s.ID);
    option.textContent = s.Name;
    select.appendChild(option);
  }
  select.addEventListener('change', () => {
    slot = select.value;
    if (source) source.remove();
    source = calendar.addEventSource(eventsUrl());
    calendar.refetchEvents();
  });
}

// The waveform comes from the server (min/max pairs), so an hour-long
// recording is neither downloaded nor decoded before it plays.
async function loadPeaks(url) {
  const reply = await fetch(url, { cache: 'no-store' });
  if (!reply.ok) throw new Error('peaks ' + reply.status);
  const bytes = new DataView(await reply.arrayBuffer());
  const rate = bytes.getUint32(8, true);
  const count = Math.floor((bytes.byteLength - 16) / 4);
  const peaks = new Float32Array(count * 2);
  for (let i = 0; i < count; i++) {
    peaks[2 * i] = bytes.getInt16(16 + 4 * i, true) / 32767;
    peaks[2 * i + 1] = bytes.getInt16(18 + 4 * i, true) / 32767;
  }
  return { peaks, duration: count / rate };
}

function closePlayer() {
  if (player) {
    player.destroy();
    player = null;
  }
}

async function openPlayer(event) {
  closePlayer();
  const start = moment(event.start);
  const id = event.id;
  const fileUrl = '/ws/slot/' + slot + '/getfile/' + id + '/' + encodeURIComponent(event.extendedProps.filename);
  const peaksUrl = '/ws/slot/' + slot + '/peaks/' + id;
  document.getElementById('playerTitle').textContent = start.format('LLLL');
  document.getElementById('download').setAttribute('href', fileUrl);
  document.getElementById('position').textContent = start.format('LTS');
  document.getElementById('loudness').textContent = loudnessText(event.extendedProps);
  document.getElementById('clip').style.display = 'none';
  const loading = document.getElementById('loading');
  const loadingText = document.getElementById('loadingText');
  loading.style.display = '';
  loadingText.textContent = 'Downloading... 0%';
  const play = document.getElementById('play');
  const pause = document.getElementById('pause');
  play.disabled = true;
  pause.disabled = true;
  $('#player').modal('show');

  let data;
  try {
    data = await loadPeaks(peaksUrl);
  } catch (e) {
    const seconds = (event.end ? (event.end - event.start) / 1000 : 1) || 1;
    data = { peaks: new Float32Array([0, 0]), duration: seconds };
  }
  loadingText.textContent = 'Decoding...';
  const regions = RegionsPlugin.create();
  const media = document.createElement('audio');
  media.preload = 'metadata';
  const ws = WaveSurfer.create({
    container: '#waveform',
    media,
    url: fileUrl,
    peaks: [data.peaks],
    duration: data.duration,
    height: 128,
    normalize: true,
    plugins: [TimelinePlugin.create({
      container: '#timeline',
      formatTimeCallback: (seconds) => start.clone().add(seconds, 'seconds').format('LT'),
    }), regions],
  });
  player = ws;
  // One span at a time, marked by dragging over the waveform.
  regions.enableDragSelection({ color: 'rgba(0, 123, 255, 0.25)' });
  const markSpan = (region) => {
    showClip('clip', start.clone().add(region.start * 1000, 'ms'), start.clone().add(region.end * 1000, 'ms'));
  };
  regions.on('region-created', (region) => {
    for (const other of regions.getRegions()) if (other !== region) other.remove();
    markSpan(region);
  });
  regions.on('region-updated', markSpan);
  const showPosition = () => {
    document.getElementById('position').textContent = start.clone().add(ws.getCurrentTime(), 'seconds').format('LTS');
  };
  const showState = () => {
    const playing = ws.isPlaying();
    play.disabled = playing;
    pause.disabled = !playing;
  };
  ws.on('ready', () => { loading.style.display = 'none'; showState(); });
  ws.on('play', showState);
  ws.on('pause', showState);
  ws.on('finish', showState);
  ws.on('timeupdate', showPosition);
  ws.on('interaction', showPosition);
  ws.on('seeking', showPosition);
  // the waveform is complete as soon as the peaks are there
  loading.style.display = 'none';
  play.disabled = false;
}

document.getElementById('play').addEventListener('click', () => { if (player) player.play(); });
document.getElementById('pause').addEventListener('click', () => { if (player) player.pause(); });
$('#player').on('hidden.bs.modal', closePlayer);

document.addEventListener('DOMContentLoaded', () => {});
calendar = new FullCalendar.Calendar(document.getElementById('calendar'), {
  plugins: ['bootstrap', 'dayGrid', 'timeGrid', 'list', 'interaction'],
  themeSystem: 'bootstrap',
  defaultView: 'listWeek',
  header: { left: 'prev,next today', center: 'title', right: 'timeGridWeek,timeGridDay,listWeek' },
  allDaySlot: false,
  // a span dragged over the week or day view, across recordings as well
  selectable: true,
  snapDuration: '00:01:00',
  select: (info) => showClip('span', moment(info.start), moment(info.end)),
  unselectAuto: false,
  eventClick: (info) => { info.jsEvent.preventDefault(); openPlayer(info.event); },
});
source = calendar.addEventSource(eventsUrl());
calendar.render();
fetch('/ws/slots', { cache: 'no-store' }).then((r) => r.json()).then(fillSlots);
