// Opens an HTML report in Debian's Chromium at each width given and prints,
// as one JSON line per width, what a reader would notice: the number of
// elements, whether the page or a chart is wider than the window, every
// piece of chart text that is cut at a chart's edge, drawn over a mark, a
// line or other text, or shown smaller than 9 CSS pixels, and the ratios of
// a comparison as drawn: each point's mark, fill, ratio and place, each
// whisker, and each baseline's line; and where the answer stands against the
// first chart.
//
//   node measure.js REPORT.html WIDTH...
//
// Every <details> is opened first, so folded content is measured too.
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');

async function measure(page, file, width) {
    await page.setViewport({width, height: 900});
    const started = Date.now();
    await page.goto('file://' + path.resolve(file), {waitUntil: 'load', timeout: 120000});
    const loadMs = Date.now() - started;
    const elements = await page.evaluate(() => document.getElementsByTagName('*').length);
    return Object.assign({width, loadMs, elements}, await page.evaluate(() => {
        for (const d of document.querySelectorAll('details'))
            d.open = true;
        const out = {
            scrollWidth: document.documentElement.scrollWidth,
            innerWidth: window.innerWidth,
            charts: 0,
            wide: [],
            cut: [],
            overlaps: [],
            small: [],
            smallestText: Infinity,
            points: [],
            whiskers: [],
            baselines: [],
        };
        // The least size of chart text a reader can be asked to read, in CSS pixels.
        const leastText = 9;
        // Boxes touching at an edge, or by less than this, do not overlap.
        const slack = 0.5;
        const meets = (a, b) => a.left < b.right - slack && b.left < a.right - slack &&
                                a.top < b.bottom - slack && b.top < a.bottom - slack;
        // A horizontal or vertical line has an empty box: give it its stroke.
        const markBox = (e) => {
            const r = e.getBoundingClientRect();
            const w = parseFloat(e.getAttribute('stroke-width') || '0') / 2;
            return {left: r.left - w, right: r.right + w, top: r.top - w, bottom: r.bottom + w};
        };
        const name = (svg) => (svg.querySelector('title') || {}).textContent || '(untitled chart)';
        // The size text is shown at: its font size scaled (and turned) by
        // everything between it and the window, the chart's viewBox included.
        const shownSize = (t) => {
            const m = t.getScreenCTM();
            return parseFloat(getComputedStyle(t).fontSize) * Math.hypot(m.a, m.b);
        };
        const round = (v) => Math.round(v * 100) / 100;
        for (const svg of document.querySelectorAll('svg')) {
            ++out.charts;
            const frame = svg.getBoundingClientRect();
            if (frame.right > window.innerWidth + slack || frame.left < -slack)
                out.wide.push(name(svg));
            const texts = [...svg.querySelectorAll('text')].filter((t) => t.textContent.trim() !== '')
                .map((t) => ({text: t.textContent, box: t.getBoundingClientRect(),
                              size: shownSize(t)}));
            // Grid lines and the background are meant to lie under text; what
            // a pattern is drawn with is not drawn where it is defined.
            const marks = [...svg.querySelectorAll('rect, line, circle, polyline, path, polygon')]
                .filter((e) => !e.classList.contains('grid') && !e.classList.contains('bg') &&
                               !e.closest('defs'))
                .map((e) => ({tag: e.tagName, box: markBox(e)}));
            // A panel draws its baseline's line before its points: each
            // point is given the height of the line of its panel.
            let baseline = null;
            for (const e of svg.querySelectorAll('[data-mark], line.baseline')) {
                const r = e.getBoundingClientRect();
                const y = round((r.top + r.bottom) / 2);
                if (e.tagName === 'line') {
                    baseline = y;
                    out.baselines.push({chart: name(svg), y});
                    continue;
                }
                out.points.push({chart: name(svg), mark: e.dataset.mark, tag: e.tagName,
                                 ratio: parseFloat(e.dataset.ratio), fill: getComputedStyle(e).fill,
                                 cx: round((r.left + r.right) / 2), cy: y, baseline});
            }
            for (const w of svg.querySelectorAll('path.whisker')) {
                const r = w.getBoundingClientRect();
                out.whiskers.push({chart: name(svg), cx: round((r.left + r.right) / 2),
                                   top: round(r.top), bottom: round(r.bottom)});
            }
            for (let i = 0; i < texts.length; ++i) {
                const a = texts[i];
                out.smallestText = Math.min(out.smallestText, round(a.size));
                if (a.size < leastText)
                    out.small.push({chart: name(svg), text: a.text, px: round(a.size)});
                if (a.box.left < frame.left - slack || a.box.right > frame.right + slack ||
                    a.box.top < frame.top - slack || a.box.bottom > frame.bottom + slack)
                    out.cut.push({chart: name(svg), text: a.text});
                for (let k = i + 1; k < texts.length; ++k)
                    if (meets(a.box, texts[k].box))
                        out.overlaps.push({chart: name(svg), text: a.text, over: texts[k].text});
                for (const m of marks)
                    if (meets(a.box, m.box))
                        out.overlaps.push({chart: name(svg), text: a.text, over: m.tag});
            }
        }
        // What a reader meets first: the answer's top against the first
        // chart's, and the answer's first line.
        const answer = document.getElementById('answer');
        const firstChart = document.querySelector('svg');
        out.answerTop = answer ? round(answer.getBoundingClientRect().top) : null;
        out.answerFirst = answer ? (answer.querySelector('li') || {}).textContent || '' : null;
        out.firstChartTop = firstChart ? round(firstChart.getBoundingClientRect().top) : null;
        return out;
    }));
}

async function main() {
    const [file, ...widths] = process.argv.slice(2);
    if (!file || widths.length === 0) {
        console.error('usage: node measure.js REPORT.html WIDTH...');
        process.exit(2);
    }
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'page-profile-'));
    const browser = await puppeteer.launch({
        executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
        headless: true,
        userDataDir: profile,
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    try {
        const page = await browser.newPage();
        for (const w of widths)
            console.log(JSON.stringify(await measure(page, file, parseInt(w, 10))));
    } finally {
        await browser.close();
        fs.rmSync(profile, {recursive: true, force: true});
    }
}

main().catch((e) => {
    console.error('measure.js: ' + (e && e.stack || e));
    process.exit(1);
});
